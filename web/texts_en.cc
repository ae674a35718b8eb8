// The pages' texts in English.
#include "texts.h"

namespace web {
namespace {

const TextEntry kEntries[] = {
    {Msg::kHtmlLang, "en"},
    {Msg::kNetworkName, "Guest Wi-Fi"},
    {Msg::kLoginTitle, "Connect to the Internet"},
    {Msg::kIntroUsers, "Enter the access code you were given."},
    {Msg::kIntroEmail, "Log in with your mailbox and its password."},
    {Msg::kIntroOnekey, "Press Connect to go online."},
    {Msg::kIntroWeixin, "Press Connect to go online. WeChat works before you connect."},
    {Msg::kAdvertHeading, "Brought to you by our sponsor"},
    {Msg::kAdvertText, "Free Wi-Fi for our guests. Enjoy your stay!"},
    {Msg::kLabelCode, "Access code"},
    {Msg::kLabelMailbox, "Mailbox"},
    {Msg::kLabelPassword, "Password"},
    {Msg::kSuffixHint, "Your mailbox ends in {1}."},
    {Msg::kButtonConnect, "Connect"},
    {Msg::kButtonLogIn, "Log in"},
    {Msg::kConnected, "You are connected."},
    {Msg::kAlreadyConnected, "You are already connected."},
    {Msg::kContinueTo, "Continue to {1}"},
    {Msg::kTakenThere, "In a moment you will be taken on to the page you asked for."},
    {Msg::kWrongCode, "This access code is not known. Check it and try again."},
    {Msg::kWrongPassword,
     "The mailbox or the password is not right, or the mail server could not be reached. "
     "Check them and try again."},
    {Msg::kLimitDate, "This access code was valid until {1} and has expired."},
    {Msg::kLimitDaily,
     "Today's time on this access code ({1} a day) is used up. It starts again at midnight, "
     "in {2}."},
    {Msg::kLimitGeneric,
     "This access code has reached its limit: its last day has passed, or today's time is "
     "used up (daily time starts again at midnight)."},
    {Msg::kNotListed, "This mailbox may not log in here. Ask the staff to add it."},
    {Msg::kNotConfirmed, "The login was not confirmed. Please try again."},
    {Msg::kServiceDown, "The login service is not answering. Please try again in a minute."},
    {Msg::kServiceSlow, "The login service did not answer in time. Please try again."},
    {Msg::kNoDevice,
     "Your device could not be found on this network, so it cannot be connected here."},
    {Msg::kEnterCode, "Please enter your access code."},
    {Msg::kEnterMailbox, "Please enter your mailbox."},
    {Msg::kEnterPassword, "Please enter your password."},
    {Msg::kFieldTooLong, "{1}: too long; at most {2} characters fit."},
    {Msg::kFieldMalformed, "{1}: holds characters that cannot be used."},
    {Msg::kFormBroken, "The form could not be read. Please fill it in again."},
    {Msg::kHoursMinutes, "{1} h {2} min"},
    {Msg::kMinutes, "{1} min"},
    {Msg::kNotFound, "There is no such page here."},
    {Msg::kBackToLogin, "Go to the login page"},
    {Msg::kAdminTitle, "Portal administration"},
    {Msg::kOnlineHeading, "Online now"},
    {Msg::kNobodyOnline, "Nobody is logged in."},
    {Msg::kColName, "Name"},
    {Msg::kColAddress, "Address"},
    {Msg::kColMac, "MAC address"},
    {Msg::kColSince, "Logged in"},
    {Msg::kColLeft, "Time left"},
    {Msg::kOnekeyName, "(one-key login)"},
    {Msg::kAgo, "{1} ago"},
    {Msg::kOnlineLeft, "online {1}"},
    {Msg::kQuotaLeft, "allowance {1}"},
    {Msg::kIdleLeft, "idle {1}"},
    {Msg::kButtonCut, "Cut off"},
    {Msg::kAddAccountHeading, "Add an account"},
    {Msg::kLabelName, "Name (the access code)"},
    {Msg::kLabelValidity, "Validity"},
    {Msg::kValidityHint, "* for no limit, hours a day (0 to 99), or the last day as 2027-12-31"},
    {Msg::kLabelNote, "Note (optional)"},
    {Msg::kButtonAdd, "Add account"},
    {Msg::kRemoveAccountHeading, "Remove an account"},
    {Msg::kButtonRemove, "Remove account"},
    {Msg::kMacHeading, "Devices let through by MAC address"},
    {Msg::kLabelMac, "MAC address"},
    {Msg::kButtonPermit, "Let through"},
    {Msg::kButtonRevoke, "Withdraw"},
    {Msg::kCutDone, "{1} was cut off."},
    {Msg::kCutStillListed, "The request to cut {1} was sent, but it is still listed as online."},
    {Msg::kAccountAdded,
     "Account {1} was added. It lasts until the portal service restarts; add it to the "
     "account file to keep it."},
    {Msg::kAccountRemoved, "Account {1} was removed and its clients were cut off."},
    {Msg::kMacPermitted, "{1} is let through without logging in."},
    {Msg::kMacRevoked, "{1} is no longer let through."},
    {Msg::kEnterName, "Please enter a name."},
    {Msg::kBadValidity,
     "The validity must be *, a number of hours a day from 0 to 99, or a day written "
     "YEAR-MONTH-DAY."},
    {Msg::kBadAddress, "\"{1}\" is not an IPv4 address."},
    {Msg::kBadMac, "\"{1}\" is not a MAC address such as 00:11:22:aa:bb:cc."},
    {Msg::kControlDown, "The portal service is not answering; nothing was changed."},
    {Msg::kBadToken,
     "This form has expired or did not come from this page; nothing was changed. Please try "
     "again."},
    {Msg::kUnknownAction, "The form could not be read; nothing was changed."},
    {Msg::kNoKey,
     "This page cannot protect its forms: the key file {1} cannot be made or read (it must be "
     "a file of the web server's user that nobody else may read)."},
};

}  // namespace

const TextTable kEnglishTexts{kEntries, sizeof(kEntries) / sizeof(kEntries[0])};

}  // namespace web
