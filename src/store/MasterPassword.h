// The rules for a master password that the data file can hold.
#pragma once

#include <QString>
#include <QStringView>

namespace sirano {

// What the data file holds for "no master password".
inline const QString kBlankPassphrase = QStringLiteral("Blank Passphrase!");

// Why a master password cannot be stored: one that no prompt can give back would lock the user
// out. A line end (CR or LF) ends every prompt's answer; a lone UTF-16 surrogate cannot be typed
// or written as UTF-8; the file's marker for "no password" reads back as no password.
enum class PasswordRefusal { None, LineEnd, LoneSurrogate, EmptyMarker };
PasswordRefusal masterPasswordRefusal(QStringView password);
// Whether text holds half of a UTF-16 surrogate pair without the other half.
bool hasLoneSurrogate(QStringView text);

}  // namespace sirano
