#include "images/language_table.h"

#include "images/image_layouts.h"

namespace varnel {

const LanguageRow LanguageTable[kLanguageCount] = {
    {"0804", "Chinese(China)"},       {"0404", "Chinese(Taiwan)"},
    {"0405", "Czech(Czech Rep.)"},    {"0406", "Danish(Denmark)"},
    {"0413", "Dutch(Netherlands)"},   {"0409", "English(UK)"},
    {"040B", "Finnish(Finland)"},     {"040C", "French(France)"},
    {"0407", "German(Germany)"},      {"0408", "Greek(Greece)"},
    {"0410", "Italian(Italy)"},       {"0411", "Japanese(Japan)"},
    {"0412", "Korean(Korea)"},        {"0414", "Norwegian(Norway)"},
    {"0415", "Polish(Poland)"},       {"0416", "Portuguese(Brazil)"},
    {"0816", "Portuguese(Portugal)"}, {"0419", "Russian(Russia)"},
    {"0C0A", "Spanish(Spain)"},       {"041D", "Swedish(Sweden)"},
    {"040E", "Hungarian(Hungary)"},   {"041A", "Croatian(Croatia)"},
    {"0424", "Slovenian(Slovenia)"},
};

uint32_t LangIdOf(int row) {
    return LoadLe32(reinterpret_cast<const uint8_t*>(LanguageTable[row].szCode));
}

}  // namespace varnel
