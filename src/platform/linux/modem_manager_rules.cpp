#include "platform/linux/modem_manager_rules.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <string_view>

#include "platform/linux/linux_host.h"

namespace varnel {

namespace {

// udev reads every *.rules file of these folders, a name in an earlier folder hiding the same
// name in a later one.
constexpr const char* kRulesFolders[] = {"/etc/udev/rules.d", "/run/udev/rules.d",
                                         "/usr/lib/udev/rules.d", "/lib/udev/rules.d"};
constexpr size_t kMaxRulesFiles = 1024;
constexpr size_t kMaxRulesFileSize = 256 * 1024;

struct RuleKey {
    std::string strKey;       // "ATTRS{idVendor}"
    std::string strOperator;  // "==", "=", ":=", "+=", "!="
    std::string strValue;     // without its quotes, in lower case
};

std::string_view Trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

std::string LowerCase(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

// The keys of one rule: KEY OP "VALUE", apart by commas.
std::vector<RuleKey> ParseRule(std::string_view rule) {
    std::vector<RuleKey> keys;
    size_t at = 0;
    while (at <= rule.size()) {
        const size_t comma = std::min(rule.find(',', at), rule.size());
        const std::string_view part = Trim(rule.substr(at, comma - at));
        at = comma + 1;
        const size_t op = part.find_first_of("=!+-:");
        if (op == std::string_view::npos) {
            continue;
        }
        const size_t value = std::min(part.find_first_not_of("=!+-:", op), part.size());
        std::string_view text = Trim(part.substr(value));
        if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
            text = text.substr(1, text.size() - 2);
        }
        keys.push_back({std::string(Trim(part.substr(0, op))),
                        std::string(part.substr(op, value - op)), LowerCase(text)});
    }
    return keys;
}

// Every rule of a rules text, continuation lines joined, comments left out.
std::vector<std::vector<RuleKey>> ParseRules(const std::string& text) {
    std::vector<std::vector<RuleKey>> rules;
    std::string rule;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = std::min(text.find('\n', at), text.size());
        std::string_view line = Trim(std::string_view(text).substr(at, end - at));
        at = end + 1;
        if (rule.empty() && !line.empty() && line.front() == '#') {
            continue;
        }
        const bool continues = !line.empty() && line.back() == '\\';
        rule += continues ? line.substr(0, line.size() - 1) : line;
        if (!continues) {
            rules.push_back(ParseRule(rule));
            rule.clear();
        }
    }
    return rules;
}

bool Has(const std::vector<RuleKey>& rule, std::string_view key, std::string_view op,
         std::string_view value) {
    return std::any_of(rule.begin(), rule.end(), [&](const RuleKey& k) {
        return k.strKey == key && k.strOperator == op && k.strValue == value;
    });
}

bool Assigns(const std::vector<RuleKey>& rule, std::string_view key) {
    return Has(rule, key, "=", "1") || Has(rule, key, ":=", "1");
}

bool MatchesId(const std::vector<RuleKey>& rule, const char* attribute, uint16_t value) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%04x", value);
    return Has(rule, std::string("ATTR{") + attribute + "}", "==", hex) ||
           Has(rule, std::string("ATTRS{") + attribute + "}", "==", hex);
}

}  // namespace

bool RulesKeepModemManagerOff(const std::vector<std::string>& rules, UsbId id) {
    constexpr char kIgnore[] = "ENV{ID_MM_DEVICE_IGNORE}";
    constexpr char kBootloader[] = "ENV{VARNEL_BOOTLOADER}";
    std::vector<std::vector<RuleKey>> parsed;
    for (const std::string& text : rules) {
        for (std::vector<RuleKey>& rule : ParseRules(text)) {
            parsed.push_back(std::move(rule));
        }
    }
    const bool bootloaderIgnored = std::any_of(parsed.begin(), parsed.end(), [&](const auto& rule) {
        return Has(rule, kBootloader, "==", "1") && Assigns(rule, kIgnore);
    });
    return std::any_of(parsed.begin(), parsed.end(), [&](const auto& rule) {
        return MatchesId(rule, "idVendor", id.vendorId) &&
               MatchesId(rule, "idProduct", id.productId) &&
               (Assigns(rule, kIgnore) || (bootloaderIgnored && Assigns(rule, kBootloader)));
    });
}

std::optional<std::string> ModemManagerLeftRunningReason(UdevMarks& udev,
                                                         const std::vector<UsbId>& ids) {
    if (ids.empty()) {
        return std::nullopt;
    }
    const std::vector<UdevMatchingDevice> present = udev.PresentDevices(ids);
    for (const UdevMatchingDevice& device : present) {
        if (!device.bModemManagerIgnores) {
            return std::nullopt;
        }
    }
    const std::vector<std::string> rules = udev.InstalledRules();
    for (const UsbId& id : ids) {
        const bool seenIgnored =
            std::any_of(present.begin(), present.end(),
                        [&id](const UdevMatchingDevice& device) { return device.id == id; });
        if (!seenIgnored && !RulesKeepModemManagerOff(rules, id)) {
            return std::nullopt;
        }
    }
    if (present.empty()) {
        return "no handset is plugged in and the installed udev rules set ID_MM_DEVICE_IGNORE "
               "on every listed USB id";
    }
    return "udev set ID_MM_DEVICE_IGNORE on the " + std::to_string(present.size()) +
           " matching device(s) present and its rules cover every listed USB id";
}

std::vector<UdevMatchingDevice> SystemUdevMarks::PresentDevices(const std::vector<UsbId>& ids) {
    return UdevMatchingDevices(ids);
}

std::vector<std::string> SystemUdevMarks::InstalledRules() {
    std::map<std::string, std::string> files;  // name -> path; the first folder's wins
    for (const char* folder : kRulesFolders) {
        DIR* directory = opendir(folder);
        if (directory == nullptr) {
            continue;
        }
        while (const dirent* entry = readdir(directory)) {
            const std::string_view name = entry->d_name;
            if (files.size() < kMaxRulesFiles && name.size() > 6 &&
                name.substr(name.size() - 6) == ".rules") {
                files.emplace(name, std::string(folder) + "/" + entry->d_name);
            }
        }
        closedir(directory);
    }
    std::vector<std::string> texts;
    for (const auto& [name, path] : files) {
        // A name linked to /dev/null masks the file of that name; it is no regular file.
        struct stat status {};
        if (::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
            texts.push_back(ReadSmallFile(path, kMaxRulesFileSize));
        }
    }
    return texts;
}

}  // namespace varnel
