#include "Reason.h"

namespace sirano {
namespace {

QString valueName(const ValueName& v, Language language) {
    using K = ValueName::Kind;
    const bool en = language == Language::English;
    QString name;
    switch (v.kind) {
        case K::Header:
            name = en ? QStringLiteral("header") : QStringLiteral("ヘッダ");
            break;
        case K::Title:
            name = en ? QStringLiteral("title") : QStringLiteral("タイトル");
            break;
        case K::FieldCount:
            name = en ? QStringLiteral("field count") : QStringLiteral("項目数");
            break;
        case K::Address:
            name = en ? QStringLiteral("address") : QStringLiteral("アドレス");
            break;
        case K::AddressKeyword:
            name = en ? QStringLiteral("address keyword") : QStringLiteral("アドレスキーワード");
            break;
        case K::FormPosition:
            name = en ? QStringLiteral("form position") : QStringLiteral("フォーム位置");
            break;
        case K::ElementPosition:
            name = en ? QStringLiteral("element position") : QStringLiteral("要素位置");
            break;
        case K::Type:
            name = en ? QStringLiteral("type") : QStringLiteral("種類");
            break;
        case K::Name:
            name = en ? QStringLiteral("name") : QStringLiteral("名前");
            break;
        case K::StoredValue:
            name = en ? QStringLiteral("stored value") : QStringLiteral("記憶値");
            break;
        case K::ClosingIndex:
            name = en ? QStringLiteral("closing index") : QStringLiteral("末尾の番号");
            break;
    }
    if (v.entry < 0)
        return en ? QStringLiteral("the %1").arg(name) : name;
    if (v.field < 0)
        return en ? QStringLiteral("the %1 of entry %2").arg(name).arg(v.entry)
                  : QStringLiteral("エントリ %1 の%2").arg(v.entry).arg(name);
    return en ? QStringLiteral("the %1 of field %2 of entry %3").arg(name).arg(v.field).arg(v.entry)
              : QStringLiteral("エントリ %1 の項目 %2 の%3").arg(v.entry).arg(v.field).arg(name);
}

QString quoted(const QString& text, Language language) {
    return language == Language::English ? QLatin1Char('"') + text + QLatin1Char('"')
                                         : QStringLiteral("「%1」").arg(text);
}

QString english(const Reason& r) {
    using K = Reason::Kind;
    const auto value = [&r] { return valueName(r.value, Language::English); };
    const auto found = [&r] { return quoted(r.text, Language::English); };
    switch (r.kind) {
        case K::FileMissing:
            return QStringLiteral("the file does not exist");
        case K::CannotOpen:
            return QStringLiteral("it cannot be opened for reading (%1)").arg(r.text);
        case K::CannotRead:
            return QStringLiteral("it cannot be read (%1)").arg(r.text);
        case K::NotRegularFile:
            return QStringLiteral("it is not a regular file");
        case K::EmptyFile:
            return QStringLiteral("the file is empty; it should begin with its header");
        case K::EmptyHeader:
            return QStringLiteral("the header is empty; it should hold the stored settings");
        case K::EndsEarly:
            return QStringLiteral("the file ends where %1 should follow").arg(value());
        case K::NotWholeNumber:
            return QStringLiteral("%1 %2 is not a whole number").arg(value(), found());
        case K::NumberOutOfRange:
            return QStringLiteral("%1 %2 is outside -32768 to 32767").arg(value(), found());
        case K::UnclosedText:
            return QStringLiteral(
                "the text value that starts here is never closed by a double quote");
        case K::TextFollowedBy:
            return QStringLiteral(
                       "the text value is followed by %1 instead of a comma or the end of the line")
                .arg(found());
        case K::HeaderTooShort:
            return QStringLiteral(
                       "the header decodes to %1, too few to hold the settings (at least 4)")
                .arg(englishCount(r.number, u"character"));
        case K::HeaderMinutes:
            return QStringLiteral(
                       "the automatic log-out minutes in the header, %1, are not a number from 0 "
                       "to 999")
                .arg(found());
        case K::TooManyEntries:
            return QStringLiteral("the file holds more than %1 entries").arg(r.number);
        case K::FieldCountOutOfRange:
            return QStringLiteral("%1 is %2; an entry holds 0 to %3 fields")
                .arg(value())
                .arg(r.number)
                .arg(r.limit);
        case K::EmptyStoredValue:
            return QStringLiteral("%1 is empty; a stored value holds at least its seed digit")
                .arg(value());
        case K::LoginFlagOutOfRange:
            return QStringLiteral(
                       "the log-in-at-start setting %1 does not fit the data file "
                       "(0 to 9)")
                .arg(r.number);
        case K::MinutesOutOfRange:
            return QStringLiteral(
                       "the automatic log-out minutes %1 do not fit the data file "
                       "(0 to 999)")
                .arg(r.number);
        case K::TemporaryNotCreated:
            return QStringLiteral("the temporary file cannot be created (%1)").arg(r.text);
        case K::TemporaryModeNotSet:
            return QStringLiteral("the temporary file's mode cannot be set (%1)").arg(r.text);
        case K::Writing:
            return QStringLiteral("writing the temporary file failed (%1)").arg(r.text);
        case K::Syncing:
            return QStringLiteral("syncing the temporary file to disk failed (%1)").arg(r.text);
        case K::Closing:
            return QStringLiteral("closing the temporary file failed (%1)").arg(r.text);
        case K::FileNotCreated:
            return QStringLiteral("the file cannot be created (%1)").arg(r.text);
        case K::Renaming:
            return QStringLiteral("renaming the temporary file over the file failed (%1)")
                .arg(r.text);
        case K::FileExists:
            return QStringLiteral("the file exists");
        case K::ForeignLink:
            return QStringLiteral(
                "it is a symbolic link that another user made, which SIRANO does not write "
                "through");
        case K::ChangedUnreadable:
            return QStringLiteral(
                       "another program changed the file, and its new contents cannot be read "
                       "(%1); it is not overwritten")
                .arg(r.text);
        case K::MergedTableFull:
            return QStringLiteral(
                "another program added entries to the file, and with them the table would "
                "hold more than 1001 entries");
        case K::NoPerUserFolder:
            return QStringLiteral("there is no per-user data folder (is HOME set?)");
        case K::FolderNotCreated:
            return QStringLiteral("the system refuses it (%1)").arg(r.text);
        case K::LockNotAllowed:
            return QStringLiteral("the folder does not allow it (%1)").arg(r.text);
        case K::LockNotWritable:
            return QStringLiteral("it cannot be created or written (%1)").arg(r.text);
        case K::NeedsMasterPassword:
            return QStringLiteral("it is encrypted and opens only with the master password");
        case K::EnvelopeDamaged:
            return QStringLiteral("its encryption header is damaged (%1)").arg(r.text);
        case K::EnvelopeVersion:
            return QStringLiteral(
                       "it is encrypted in format version %1, which this SIRANO does not know")
                .arg(r.number);
        case K::EnvelopeParameters:
            return QStringLiteral(
                       "its key derivation asks for %1 passes over %2 KiB, beyond what SIRANO "
                       "accepts (at most 16 passes, 1 GiB, 4 GiB over all passes)")
                .arg(r.number)
                .arg(r.limit);
        case K::WrongMasterPassword:
            return QStringLiteral(
                "the master password does not open it (or its encryption header was changed)");
        case K::ContentsNotAuthentic:
            return QStringLiteral(
                "it was damaged or changed after it was saved: its encrypted contents fail "
                "their authentication");
        case K::KeyNotDerived:
            return QStringLiteral("the key cannot be derived from the password (out of memory)");
    }
    return {};
}

QString japanese(const Reason& r) {
    using K = Reason::Kind;
    const auto value = [&r] { return valueName(r.value, Language::Japanese); };
    const auto found = [&r] { return quoted(r.text, Language::Japanese); };
    switch (r.kind) {
        case K::FileMissing:
            return QStringLiteral("ファイルがありません");
        case K::CannotOpen:
            return QStringLiteral("ファイルを開けません (%1)").arg(r.text);
        case K::CannotRead:
            return QStringLiteral("ファイルを読み取れません (%1)").arg(r.text);
        case K::NotRegularFile:
            return QStringLiteral("通常のファイルではありません");
        case K::EmptyFile:
            return QStringLiteral("ファイルが空です (先頭にヘッダが必要です)");
        case K::EmptyHeader:
            return QStringLiteral("ヘッダが空です (保存された設定が入るはずです)");
        case K::EndsEarly:
            return QStringLiteral("%1があるはずの所でファイルが終わっています").arg(value());
        case K::NotWholeNumber:
            return QStringLiteral("%1 %2 が整数ではありません").arg(value(), found());
        case K::NumberOutOfRange:
            return QStringLiteral("%1 %2 が -32768 から 32767 の範囲外です").arg(value(), found());
        case K::UnclosedText:
            return QStringLiteral("ここから始まる文字列の値が二重引用符 (\") で閉じられていません");
        case K::TextFollowedBy:
            return QStringLiteral("文字列の値の後ろがコンマでも行末でもなく %1 です").arg(found());
        case K::HeaderTooShort:
            return QStringLiteral(
                       "ヘッダを復号すると %1 文字で、設定を収めるには足りません (4 "
                       "文字以上必要です)")
                .arg(r.number);
        case K::HeaderMinutes:
            return QStringLiteral("ヘッダのｵｰﾄﾛｸﾞｱｳﾄ分数 %1 が 0 から 999 の数ではありません")
                .arg(found());
        case K::TooManyEntries:
            return QStringLiteral("エントリが %1 件を超えています").arg(r.number);
        case K::FieldCountOutOfRange:
            return QStringLiteral("%1が %2 です (1 件のエントリの項目は 0 から %3 個です)")
                .arg(value())
                .arg(r.number)
                .arg(r.limit);
        case K::EmptyStoredValue:
            return QStringLiteral("%1が空です (記憶値には少なくとも先頭の種の数字が必要です)")
                .arg(value());
        case K::LoginFlagOutOfRange:
            return QStringLiteral(
                       "起動時ｵｰﾄﾛｸﾞｲﾝの設定値 %1 はデータファイルに書けません (0 から 9)")
                .arg(r.number);
        case K::MinutesOutOfRange:
            return QStringLiteral("ｵｰﾄﾛｸﾞｱｳﾄ分数 %1 はデータファイルに書けません (0 から 999)")
                .arg(r.number);
        case K::TemporaryNotCreated:
            return QStringLiteral("一時ファイルを作成できません (%1)").arg(r.text);
        case K::TemporaryModeNotSet:
            return QStringLiteral("一時ファイルのアクセス権を設定できません (%1)").arg(r.text);
        case K::Writing:
            return QStringLiteral("一時ファイルに書き込めません (%1)").arg(r.text);
        case K::Syncing:
            return QStringLiteral("一時ファイルをディスクに書き出せません (%1)").arg(r.text);
        case K::Closing:
            return QStringLiteral("一時ファイルを閉じられません (%1)").arg(r.text);
        case K::FileNotCreated:
            return QStringLiteral("ファイルを作成できません (%1)").arg(r.text);
        case K::Renaming:
            return QStringLiteral("一時ファイルをファイルの名前に置き換えられません (%1)")
                .arg(r.text);
        case K::FileExists:
            return QStringLiteral("ファイルが既にあります");
        case K::ForeignLink:
            return QStringLiteral("他のユーザーが作ったシンボリックリンクなので、書き込みません");
        case K::ChangedUnreadable:
            return QStringLiteral(
                       "他のプログラムがファイルを変更し、その内容を読み込めません (%1)。"
                       "上書きしません")
                .arg(r.text);
        case K::MergedTableFull:
            return QStringLiteral("他のプログラムが追加したサイトと合わせると 1001 件を超えます");
        case K::NoPerUserFolder:
            return QStringLiteral("ユーザーのデータフォルダの場所が分かりません (HOME が未設定？)");
        case K::FolderNotCreated:
            return QStringLiteral("システムが作成を拒みました (%1)").arg(r.text);
        case K::LockNotAllowed:
            return QStringLiteral("フォルダへの書き込みが許可されていません (%1)").arg(r.text);
        case K::LockNotWritable:
            return QStringLiteral("作成も書き込みもできません (%1)").arg(r.text);
        case K::NeedsMasterPassword:
            return QStringLiteral("暗号化されていて、マスターパスワードがないと開けません");
        case K::EnvelopeDamaged:
            return QStringLiteral("暗号化ヘッダが壊れています (%1)").arg(r.text);
        case K::EnvelopeVersion:
            return QStringLiteral("このSIRANOが知らない暗号化形式 (版 %1) です").arg(r.number);
        case K::EnvelopeParameters:
            return QStringLiteral(
                       "鍵の導出に %1 回 × %2 KiB を求めていて、許容範囲 (16 回、1 GiB、"
                       "合計 4 GiB まで) を超えています")
                .arg(r.number)
                .arg(r.limit);
        case K::WrongMasterPassword:
            return QStringLiteral(
                "マスターパスワードで開けません (または暗号化ヘッダが書き換えられています)");
        case K::ContentsNotAuthentic:
            return QStringLiteral(
                "保存後に壊れたか書き換えられています (暗号化された内容の認証に失敗しました)");
        case K::KeyNotDerived:
            return QStringLiteral("パスワードから鍵を導出できません (メモリ不足)");
    }
    return {};
}

}  // namespace

QString reasonText(const Reason& reason, Language language) {
    return language == Language::English ? english(reason) : japanese(reason);
}

QString englishCount(long long count, QStringView noun) {
    return QStringLiteral("%1 %2%3").arg(count).arg(noun).arg(count == 1 ? QString()
                                                                         : QStringLiteral("s"));
}

}  // namespace sirano
