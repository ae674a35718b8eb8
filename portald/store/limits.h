// Account limits: the date limit (valid up to and including a last day) and the daily
// allowance (seconds per calendar day, in local time). The account record in the account
// table carries the state; an online copy only tells which limit applies.
#pragma once

#include <cstdint>
#include <string>

#include "store/user_table.h"

namespace store {

// A number that compares as the calendar dates do: year, then month (1 to 12), then day.
// Components out of their range still give a key (saturated to the 32-bit range).
int32_t date_key(int year, int month, int day);

// The date key of the local calendar day of t.
int32_t today_key(int32_t t);

// true when a and b fall on the same local calendar day.
bool same_day(int32_t a, int32_t b);

// Date limit: true while the day of now is on or before the limit day.
bool date_limit_holds(int32_t limit_value, int32_t now);

// Daily allowance at login: resets the account's used_today when now is on another day than
// its down_time, then returns the seconds left today (limit_value - used_today), which is not
// positive when the allowance is used up.
int32_t daily_seconds_left(OnlineUserRecord& account, int32_t now);

// Charges the on-line time of a client that went down to the first account of that name:
// down_time = now, used_today += now - login_time (the account's own login_time). Nothing
// happens when no account has that name.
void charge_daily_usage(UserTable& accounts, const std::string& name, int32_t now);

// Charges what a client's going off line costs its account, as a host-down does: under
// "USERS", a daily-limited record's on-line time goes to its account (charge_daily_usage).
// Every removal of a client record by the daemon or the kernel charges this way.
void charge_removed_client(UserTable& accounts, const OnlineUserRecord& removed, int32_t now);

// The current time as the daemon keeps it: seconds since the epoch in a signed 32-bit field.
int32_t now_seconds();

}  // namespace store
