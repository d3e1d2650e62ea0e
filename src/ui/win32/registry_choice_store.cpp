#include "ui/win32/registry_choice_store.h"

#include <algorithm>
#include <utility>

#include "ui/win32/win32_text.h"

namespace varnel {

namespace {

// No remembered choice comes near this; a larger value is not one of ours.
constexpr DWORD kMaxValueBytes = 64 << 10;

// The subkey (below the store's key) and the value name of `key`.
std::pair<std::wstring, std::wstring> SubkeyAndName(const std::wstring& keyPath,
                                                    const std::string& key) {
    const size_t slash = key.rfind('/');
    if (slash == std::string::npos) {
        return {keyPath, Widen(key)};
    }
    std::wstring subkey = Widen(key.substr(0, slash));
    for (wchar_t& character : subkey) {
        character = character == L'/' ? L'\\' : character;
    }
    return {keyPath + L"\\" + subkey, Widen(key.substr(slash + 1))};
}

}  // namespace

RegistryChoiceStore::RegistryChoiceStore(std::wstring keyPath) : m_keyPath(std::move(keyPath)) {}

std::optional<std::wstring> RegistryChoiceStore::Read(const std::string& key, DWORD typeFlag) {
    const auto [subkey, name] = SubkeyAndName(m_keyPath, key);
    DWORD bytes = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, subkey.c_str(), name.c_str(), typeFlag, nullptr, nullptr,
                     &bytes) != ERROR_SUCCESS ||
        bytes > kMaxValueBytes) {
        return std::nullopt;
    }
    std::wstring data(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    // The value may have changed since its size was asked: the second call is bounded too.
    if (RegGetValueW(HKEY_CURRENT_USER, subkey.c_str(), name.c_str(), typeFlag, nullptr,
                     data.data(), &bytes) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    data.resize(bytes / sizeof(wchar_t));
    return data;
}

void RegistryChoiceStore::Write(const std::string& key, DWORD type, const std::wstring& data) {
    const auto [subkey, name] = SubkeyAndName(m_keyPath, key);
    RegSetKeyValueW(HKEY_CURRENT_USER, subkey.c_str(), name.c_str(), type, data.c_str(),
                    static_cast<DWORD>(data.size() * sizeof(wchar_t)));
}

std::optional<std::string> RegistryChoiceStore::Text(const std::string& key) {
    const std::optional<std::wstring> data = Read(key, RRF_RT_REG_SZ);
    if (!data) {
        return std::nullopt;
    }
    // RegGetValueW ends the text with a null, counted in its size.
    return Narrow(std::wstring_view(data->c_str()));
}

std::optional<std::vector<std::string>> RegistryChoiceStore::Lines(const std::string& key) {
    const std::optional<std::wstring> data = Read(key, RRF_RT_REG_MULTI_SZ);
    if (!data) {
        return std::nullopt;
    }
    std::vector<std::string> lines;
    std::wstring_view rest(*data);
    while (!rest.empty() && rest.front() != L'\0') {
        const size_t end = std::min(rest.find(L'\0'), rest.size());
        lines.push_back(Narrow(rest.substr(0, end)));
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    return lines;
}

void RegistryChoiceStore::SetText(const std::string& key, const std::string& value) {
    Write(key, REG_SZ, Widen(value) + L'\0');
}

void RegistryChoiceStore::SetLines(const std::string& key, const std::vector<std::string>& lines) {
    std::wstring data;
    for (const std::string& line : lines) {
        if (!line.empty()) {  // an empty string would end the list
            data += Widen(line) + L'\0';
        }
    }
    data += L'\0';
    Write(key, REG_MULTI_SZ, data);
}

}  // namespace varnel
