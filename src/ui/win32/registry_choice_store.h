// The window's remembered choices in the user's part of the registry: a key such as
// "images/pda" is the value "pda" of the subkey "images" under the store's key.
#pragma once

#include <windows.h>

#include <string>

#include "ui/window_choices.h"

namespace varnel {

// Where the program keeps its choices.
inline constexpr wchar_t kChoicesRegistryKey[] = L"Software\\Varnel\\Downloader";

class RegistryChoiceStore final : public ChoiceStore {
  public:
    // Under HKEY_CURRENT_USER\`keyPath`, made when first written.
    explicit RegistryChoiceStore(std::wstring keyPath = kChoicesRegistryKey);

    std::optional<std::string> Text(const std::string& key) override;
    std::optional<std::vector<std::string>> Lines(const std::string& key) override;
    void SetText(const std::string& key, const std::string& value) override;
    void SetLines(const std::string& key, const std::vector<std::string>& lines) override;

  private:
    // The value's wide text as stored (a list: its strings each ended by a null); nullopt when
    // it is missing, of another type or larger than any choice.
    std::optional<std::wstring> Read(const std::string& key, DWORD typeFlag);
    void Write(const std::string& key, DWORD type, const std::wstring& data);

    const std::wstring m_keyPath;
};

}  // namespace varnel
