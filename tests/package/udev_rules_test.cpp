// The udev rule against the probe ID table the server matches devices with:
// a product added to the table without a rule would be found by the server
// and then be out of its reach when it runs as the tarvex user.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "libusb1_common.h"

namespace
{

using usb_id = std::pair<uint16_t, uint16_t>; // vendor, product

// Every line of the rules file that is neither blank nor a comment.
std::vector<std::string> rule_lines()
{
    std::ifstream in(TARVEX_UDEV_RULES);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        size_t first = line.find_first_not_of(" \t");
        if (first != std::string::npos && line[first] != '#')
            lines.push_back(line);
    }
    return lines;
}

std::set<usb_id> table_ids()
{
    std::set<usb_id> ids;
    for (int i = 0; i < TARVEX_PROBE_ID_SLOTS && tarvex_probe_vids[i] != 0; i++)
        ids.insert({tarvex_probe_vids[i], tarvex_probe_pids[i]});
    return ids;
}

// The one form of a probe rule. sysfs writes the IDs as four lower-case hex
// digits and udev compares them as text, so "7A01" would match no device.
const std::regex PROBE_RULE(R"re(SUBSYSTEM=="usb", ATTR\{idVendor\}=="([0-9a-f]{4})", )re"
                            R"re(ATTR\{idProduct\}=="([0-9a-f]{4})", MODE="0660", GROUP="tarvex", TAG\+="uaccess")re");

// False when the line is not a probe rule; else the IDs it grants.
bool parse_rule(const std::string &line, usb_id *id)
{
    std::smatch m;
    if (!std::regex_match(line, m, PROBE_RULE))
        return false;
    id->first = static_cast<uint16_t>(std::stoul(m[1].str(), nullptr, 16));
    id->second = static_cast<uint16_t>(std::stoul(m[2].str(), nullptr, 16));
    return true;
}

std::map<usb_id, int> rules_by_id()
{
    std::map<usb_id, int> count;
    usb_id id;
    for (const std::string &line : rule_lines())
        if (parse_rule(line, &id))
            count[id]++;
    return count;
}

std::string id_text(usb_id id)
{
    char text[16];
    snprintf(text, sizeof(text), "%04x:%04x", id.first, id.second);
    return text;
}

TEST(UdevRules, EveryLineIsAProbeRuleForTheGroupAndTheSeatUser)
{
    std::vector<std::string> lines = rule_lines();
    ASSERT_FALSE(lines.empty()) << "no rules read from " << TARVEX_UDEV_RULES;
    usb_id id;
    for (const std::string &line : lines)
        EXPECT_TRUE(parse_rule(line, &id)) << "not a probe rule: " << line;
}

TEST(UdevRules, EveryProbeOfTheTableHasExactlyOneRule)
{
    std::map<usb_id, int> rules = rules_by_id();
    std::set<usb_id> table = table_ids();
    ASSERT_FALSE(table.empty());
    for (const usb_id &id : table)
        EXPECT_EQ(rules[id], 1) << "rules for " << id_text(id);
}

TEST(UdevRules, NoRuleGrantsADeviceOutsideTheTable)
{
    std::set<usb_id> table = table_ids();
    for (const auto &rule : rules_by_id())
        EXPECT_EQ(table.count(rule.first), 1u) << id_text(rule.first) << " is not in the probe ID table";
}

} // namespace
