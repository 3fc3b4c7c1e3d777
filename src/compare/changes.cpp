// The comparison row by row. The errors found in accepted filings (values
// left in thousands after 2023, the value copied into the share count,
// principal amounts filed as shares, positions dropped for a CUSIP that did
// not match) each show as an implausible price per share or an implausible
// change against the quarter before; the notes name them with their figures.
#include "compare/changes.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <tuple>
#include <utility>

namespace tavrin {
namespace {

// A price per share that moved by more than this factor between quarters
// is more likely a change of units than of the market.
constexpr double kPriceFactor = 3;
// Below this a share is worth less than any listed security trades for:
// the value is most likely still in thousands.
constexpr double kLeastPrice = 0.05;

using Key = std::pair<std::string, std::string>;  // CUSIP, put/call

struct Holding {
    std::string issuer;
    std::string title;
    long long shares = 0;
    long long value = 0;
};

std::map<Key, Holding> added_up(const std::vector<TableEntry>& entries, long long unit) {
    std::map<Key, Holding> table;
    for (const TableEntry& entry : entries) {
        Holding& holding = table[{entry.cusip, entry.put_call}];
        if (holding.issuer.empty()) {
            holding.issuer = entry.issuer;
            holding.title = entry.title;
        }
        holding.shares += entry.shares;
        holding.value += entry.value * unit;
    }
    return table;
}

std::string grouped(long long number) {
    std::string digits = std::to_string(number < 0 ? -number : number);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
    return (number < 0 ? "-" : "") + digits;
}

// "$152.30", "$0.0125": enough places to tell a tiny price from zero.
std::string price_text(double price) {
    char text[64];
    std::snprintf(text, sizeof text, price >= 1 ? "$%.2f" : "$%.4f", price);
    std::string shown = text;
    if (price >= 1000) {
        std::string whole = grouped(static_cast<long long>(price));
        shown = "$" + whole + shown.substr(shown.find('.'));
    }
    return shown;
}

// Names as the list and other filers' software spell them differ in
// punctuation and spacing only; letters and digits decide.
std::string name_key(const std::string& name) {
    std::string key;
    for (unsigned char c : name) {
        if (std::isalnum(c)) key += static_cast<char>(std::toupper(c));
    }
    return key;
}

ChangeStatus status_of(const Change& change) {
    if (!change.before) return ChangeStatus::kNew;
    if (!change.now) return ChangeStatus::kClosed;
    if (change.current_shares > change.previous_shares) return ChangeStatus::kIncreased;
    if (change.current_shares < change.previous_shares) return ChangeStatus::kDecreased;
    return ChangeStatus::kUnchanged;
}

void note_price_move(Change& change) {
    if (!change.before || !change.now || change.previous_shares <= 0 ||
        change.current_shares <= 0 || change.previous_value <= 0 || change.current_value <= 0) {
        return;
    }
    double before = static_cast<double>(change.previous_value) / change.previous_shares;
    double now = static_cast<double>(change.current_value) / change.current_shares;
    double factor = std::max(before, now) / std::min(before, now);
    if (factor <= kPriceFactor) return;
    change.notes.push_back("value per share " + price_text(before) + " last quarter, " +
                           price_text(now) + " now (a factor of " +
                           grouped(std::llround(factor)) +
                           "): units, a split, or a principal amount filed as shares?");
}

void note_current_figures(Change& change) {
    if (!change.now || change.current_shares <= 0) return;
    if (change.current_value == change.current_shares) {
        change.notes.push_back("value equals shares (" + grouped(change.current_shares) +
                               "): the value copied into the share count, or the shares into "
                               "the value?");
    }
    double price = static_cast<double>(change.current_value) / change.current_shares;
    if (price < kLeastPrice) {
        change.notes.push_back(price_text(price) + " a share (value " +
                               dollars_text(change.current_value) + " for " +
                               grouped(change.current_shares) +
                               " shares): a value still in thousands?");
    }
}

void note_issuer_name(Change& change, const Holding& before, const Holding& now) {
    if (name_key(before.issuer) == name_key(now.issuer)) return;
    change.notes.push_back("issuer \"" + before.issuer + "\" last quarter, \"" + now.issuer +
                           "\" now: the same CUSIP for another security?");
}

void note_still_held(Change& change, const std::map<std::string, std::string>& not_reported) {
    if (change.status != ChangeStatus::kClosed) return;
    auto found = not_reported.find(change.cusip);
    if (found == not_reported.end()) return;
    change.notes.push_back("still in the portfolio, not reported: " + found->second);
}

}  // namespace

const char* status_name(ChangeStatus status) {
    switch (status) {
        case ChangeStatus::kNew: return "NEW";
        case ChangeStatus::kClosed: return "CLOSED";
        case ChangeStatus::kIncreased: return "INCREASED";
        case ChangeStatus::kDecreased: return "DECREASED";
        case ChangeStatus::kUnchanged: return "UNCHANGED";
    }
    return "";
}

std::string dollars_text(long long dollars) { return "$" + grouped(dollars); }

std::vector<Change> compare_tables(const std::vector<TableEntry>& previous, long long previous_unit,
                                   const std::vector<TableEntry>& current,
                                   const std::map<std::string, std::string>& not_reported) {
    std::map<Key, Holding> before = added_up(previous, previous_unit);
    std::map<Key, Holding> now = added_up(current, 1);
    std::map<Key, Change> rows;
    for (const auto& [key, holding] : before) {
        Change& change = rows[key];
        change.cusip = key.first;
        change.put_call = key.second;
        change.issuer = holding.issuer;
        change.title = holding.title;
        change.before = true;
        change.previous_shares = holding.shares;
        change.previous_value = holding.value;
    }
    for (const auto& [key, holding] : now) {
        Change& change = rows[key];
        change.cusip = key.first;
        change.put_call = key.second;
        change.issuer = holding.issuer;  // this quarter's names win
        change.title = holding.title;
        change.now = true;
        change.current_shares = holding.shares;
        change.current_value = holding.value;
    }
    std::vector<Change> changes;
    for (auto& [key, change] : rows) {
        change.status = status_of(change);
        note_price_move(change);
        note_current_figures(change);
        if (change.before && change.now) note_issuer_name(change, before.at(key), now.at(key));
        note_still_held(change, not_reported);
        changes.push_back(std::move(change));
    }
    std::stable_sort(changes.begin(), changes.end(), [](const Change& a, const Change& b) {
        return std::tie(a.issuer, a.cusip, a.put_call) < std::tie(b.issuer, b.cusip, b.put_call);
    });
    return changes;
}

}  // namespace tavrin
