#include "MasterPassword.h"

namespace sirano {

bool hasLoneSurrogate(QStringView text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
        else if (text[i].isSurrogate())
            return true;
    }
    return false;
}

PasswordRefusal masterPasswordRefusal(QStringView password) {
    if (password.contains(u'\r') || password.contains(u'\n'))
        return PasswordRefusal::LineEnd;
    if (hasLoneSurrogate(password))
        return PasswordRefusal::LoneSurrogate;
    if (password == kBlankPassphrase)
        return PasswordRefusal::EmptyMarker;
    return PasswordRefusal::None;
}

}  // namespace sirano
