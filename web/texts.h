// Every text the pages show, one table per language (texts_en.cc, texts_zh.cc). A text may
// hold the places {1}, {2}, ... that fill() replaces; each language's text of a key holds
// the same places as the English one.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace web {

enum class Language { kEnglish, kChinese };

enum class Msg : size_t {
  kHtmlLang,
  kNetworkName,
  kLoginTitle,
  kIntroUsers,
  kIntroEmail,
  kIntroOnekey,
  kIntroWeixin,
  kAdvertHeading,
  kAdvertText,
  kLabelCode,
  kLabelMailbox,
  kLabelPassword,
  kSuffixHint,
  kButtonConnect,
  kButtonLogIn,
  kConnected,
  kAlreadyConnected,
  kContinueTo,
  kTakenThere,
  kWrongCode,
  kWrongPassword,
  kLimitDate,
  kLimitDaily,
  kLimitGeneric,
  kNotListed,
  kNotConfirmed,
  kServiceDown,
  kServiceSlow,
  kNoDevice,
  kEnterCode,
  kEnterMailbox,
  kEnterPassword,
  kFieldTooLong,
  kFieldMalformed,
  kFormBroken,
  kHoursMinutes,
  kMinutes,
  kNotFound,
  kBackToLogin,
  // The operator's page.
  kAdminTitle,
  kOnlineHeading,
  kNobodyOnline,
  kColName,
  kColAddress,
  kColMac,
  kColSince,
  kColLeft,
  kOnekeyName,
  kAgo,
  kOnlineLeft,
  kQuotaLeft,
  kIdleLeft,
  kButtonCut,
  kAddAccountHeading,
  kLabelName,
  kLabelValidity,
  kValidityHint,
  kLabelNote,
  kButtonAdd,
  kRemoveAccountHeading,
  kButtonRemove,
  kMacHeading,
  kLabelMac,
  kButtonPermit,
  kButtonRevoke,
  kCutDone,
  kCutStillListed,
  kAccountAdded,
  kAccountRemoved,
  kMacPermitted,
  kMacRevoked,
  kEnterName,
  kBadValidity,
  kBadAddress,
  kBadMac,
  kControlDown,
  kBadToken,
  kUnknownAction,
  kNoKey,
  kCount  // not a text: the number of texts
};

inline constexpr size_t kMsgCount = static_cast<size_t>(Msg::kCount);

// One language's table: every key once, in any order.
struct TextEntry {
  Msg key;
  const char* text;
};
struct TextTable {
  const TextEntry* entries;
  size_t size;
};
extern const TextTable kEnglishTexts;
extern const TextTable kChineseTexts;

// The text of key in table, or nullptr when the table lacks it.
const char* find_text(const TextTable& table, Msg key);

const char* text(Language lang, Msg m);

// text with {1} replaced by args[0], {2} by args[1] and so on; the arguments are put in as
// they are (escaping is the caller's business).
std::string fill(const std::string& text, const std::vector<std::string>& args);

// The language of an Accept-Language header: Chinese when a zh range has a higher weight
// than every English one (and any weight above 0), otherwise English.
Language choose_language(const std::string& accept_language);

}  // namespace web
