// A checker of the JSON Schema keywords docs/report.schema.json uses: type (one or a list),
// enum, required, properties, additionalProperties (false), items. Any other keyword in the schema
// is an error, so the schema cannot lean on a rule this checker would silently skip.
#pragma once

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace varnel::test {

inline bool HasSchemaType(const nlohmann::json& value, const std::string& type) {
    if (type == "object")
        return value.is_object();
    if (type == "array")
        return value.is_array();
    if (type == "string")
        return value.is_string();
    if (type == "integer")
        return value.is_number_integer();
    if (type == "number")
        return value.is_number();
    if (type == "boolean")
        return value.is_boolean();
    if (type == "null")
        return value.is_null();
    return false;
}

// Appends to `errors` where `value` breaks `schema`; `where` is the JSON path so far.
inline void CheckAgainstSchema(const nlohmann::json& value, const nlohmann::json& schema,
                               const std::string& where, std::vector<std::string>& errors) {
    static const std::vector<std::string> kKnown = {
        "$schema",  "title",      "description",          "type", "enum",
        "required", "properties", "additionalProperties", "items"};
    for (const auto& [keyword, rule] : schema.items()) {
        if (std::find(kKnown.begin(), kKnown.end(), keyword) == kKnown.end()) {
            errors.push_back(where + ": the checker does not know the keyword " + keyword);
        }
    }
    if (schema.contains("type")) {
        const nlohmann::json& type = schema["type"];
        const std::vector<std::string> types =
            type.is_array() ? type.get<std::vector<std::string>>()
                            : std::vector<std::string>{type.get<std::string>()};
        if (std::none_of(types.begin(), types.end(),
                         [&](const std::string& t) { return HasSchemaType(value, t); })) {
            errors.push_back(where + ": " + value.dump() + " is not " + type.dump());
            return;
        }
    }
    if (schema.contains("enum") &&
        std::find(schema["enum"].begin(), schema["enum"].end(), value) == schema["enum"].end()) {
        errors.push_back(where + ": " + value.dump() + " is none of " + schema["enum"].dump());
    }
    if (value.is_object()) {
        for (const auto& key : schema.value("required", nlohmann::json::array())) {
            if (!value.contains(key.get<std::string>())) {
                errors.push_back(where + ": no key " + key.get<std::string>());
            }
        }
        const nlohmann::json properties = schema.value("properties", nlohmann::json::object());
        for (const auto& [key, member] : value.items()) {
            if (properties.contains(key)) {
                CheckAgainstSchema(member, properties[key], where + "." + key, errors);
            } else if (schema.value("additionalProperties", true) == false) {
                errors.push_back(where + ": key " + key + " is not in the schema");
            }
        }
    }
    if (value.is_array() && schema.contains("items")) {
        for (size_t index = 0; index < value.size(); ++index) {
            CheckAgainstSchema(value[index], schema["items"],
                               where + "[" + std::to_string(index) + "]", errors);
        }
    }
}

}  // namespace varnel::test
