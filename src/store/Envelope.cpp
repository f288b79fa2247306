#include "Envelope.h"

#include "DataFileErrors.h"

#include <sodium.h>

#include <QElapsedTimer>
#include <QList>
#include <algorithm>
#include <cmath>
#include <new>

namespace sirano {
namespace {

using Why = Reason::Kind;

constexpr char kMagic[] = "#SIRANO-ENCRYPTED";
constexpr int kVersion = 1;
constexpr std::size_t kKeyBytes = crypto_aead_xchacha20poly1305_ietf_KEYBYTES;
constexpr std::size_t kSaltBytes = crypto_pwhash_SALTBYTES;
constexpr std::size_t kCheckBytes = 16;
constexpr std::size_t kNonceBytes = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr std::size_t kTagBytes = crypto_aead_xchacha20poly1305_ietf_ABYTES;
static_assert(kKeyBytes == 32 && kSaltBytes == 16 && kNonceBytes == 24 && kTagBytes == 16);

// Everything the check covers: the lines that fix the key (magic, version, parameters, salt).
QByteArray keyLines(const KdfParams& params, const QByteArray& salt) {
    return QByteArray(kMagic) + "\nversion " + QByteArray::number(kVersion) + "\nargon2id passes " +
           QByteArray::number(params.passes) + " memory " + QByteArray::number(params.memKiB) +
           "\nsalt " + salt.toHex() + '\n';
}

// Tells a key that fits the file from one that does not, before the contents are tried: a
// wrong password is then told apart from damaged contents.
QByteArray keyCheck(const DataFileKey& key, const QByteArray& lines) {
    QByteArray check(kCheckBytes, '\0');
    crypto_generichash(reinterpret_cast<unsigned char*>(check.data()), kCheckBytes,
                       reinterpret_cast<const unsigned char*>(lines.constData()),
                       static_cast<unsigned long long>(lines.size()), key.bytes(), kKeyBytes);
    return check;
}

QByteArray randomBytes(std::size_t size) {
    initSodium();
    QByteArray bytes(static_cast<qsizetype>(size), '\0');
    randombytes_buf(bytes.data(), size);
    return bytes;
}

struct Header {
    KdfParams params;
    QByteArray salt;
    QByteArray check;
    QByteArray nonce;
    QByteArray keyLines;  // the bytes the check covers
    qsizetype size = 0;   // the whole header, the contents' associated data
};

[[noreturn]] void damaged(const QString& path, const char* what) {
    throw LoadError(err::kBadFileFormat, path, 0, 0,
                    Reason{Why::EnvelopeDamaged, {}, QString::fromLatin1(what)});
}

// Reads the header's lines one by one, each exactly as the writer makes it.
class HeaderReader {
public:
    HeaderReader(const QByteArray& bytes, const QString& path) : bytes_(bytes), path_(path) {}

    // The rest of the next line after prefix; refused (as what) when the line is missing, does
    // not start so, or does not end.
    QByteArray line(const char* prefix, const char* what) {
        const qsizetype end = bytes_.indexOf('\n', at_);
        if (end < 0)
            damaged(path_, what);
        const QByteArray text = bytes_.mid(at_, end - at_);
        if (!text.startsWith(prefix))
            damaged(path_, what);
        at_ = end + 1;
        return text.mid(qsizetype(qstrlen(prefix)));
    }
    qsizetype position() const { return at_; }

    // A decimal number without sign or leading zeros that fits 32 bits.
    std::uint32_t number(const QByteArray& text, const char* what) const {
        if (text.isEmpty() || text.size() > 10 || (text.size() > 1 && text[0] == '0') ||
            !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
            damaged(path_, what);
        const unsigned long long value = text.toULongLong();
        if (value > 0xFFFFFFFFull)
            damaged(path_, what);
        return static_cast<std::uint32_t>(value);
    }
    // Lower-case hexadecimal of exactly size bytes.
    QByteArray hex(const QByteArray& text, std::size_t size, const char* what) const {
        if (text.size() != static_cast<qsizetype>(2 * size) ||
            !std::all_of(text.begin(), text.end(),
                         [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }))
            damaged(path_, what);
        return QByteArray::fromHex(text);
    }

private:
    const QByteArray& bytes_;
    const QString& path_;
    qsizetype at_ = 0;
};

Header readHeader(const QByteArray& bytes, const QString& path) {
    HeaderReader in(bytes, path);
    Header h;
    if (!in.line(kMagic, "the first line").isEmpty())
        damaged(path, "the first line");
    const QByteArray version = in.line("version ", "the version line");
    if (const std::uint32_t v = in.number(version, "the version line"); v != kVersion)
        throw LoadError(err::kBadFileFormat, path, 0, 0, Reason{Why::EnvelopeVersion, {}, {}, v});
    const QByteArray kdf = in.line("argon2id passes ", "the key derivation line");
    const qsizetype memory = kdf.indexOf(" memory ");
    if (memory < 0)
        damaged(path, "the key derivation line");
    h.params.passes = in.number(kdf.left(memory), "the key derivation line");
    h.params.memKiB = in.number(kdf.mid(memory + 8), "the key derivation line");
    h.salt = in.hex(in.line("salt ", "the salt line"), kSaltBytes, "the salt line");
    h.keyLines = bytes.left(in.position());
    h.check = in.hex(in.line("check ", "the check line"), kCheckBytes, "the check line");
    h.nonce = in.hex(in.line("nonce ", "the nonce line"), kNonceBytes, "the nonce line");
    h.size = in.position();
    // Refused before any work: the derivation would take what the file asks.
    if (!acceptableKdfParams(h.params))
        throw LoadError(err::kBadFileFormat, path, 0, 0,
                        Reason{Why::EnvelopeParameters, {}, {}, h.params.passes, h.params.memKiB});
    if (static_cast<std::size_t>(bytes.size() - h.size) < kTagBytes)
        damaged(path, "the contents are shorter than their authentication tag");
    return h;
}

}  // namespace

bool acceptableKdfParams(const KdfParams& p) {
    return p.passes >= 1 && p.passes <= kMaxKdfPasses && p.memKiB >= kMinKdfMemKiB &&
           p.memKiB <= kMaxKdfMemKiB &&
           std::uint64_t(p.passes) * std::uint64_t(p.memKiB) <= kMaxKdfWorkKiB;
}

KdfParams calibratedKdfParams() {
    // Memory first (what makes guessing dear on any hardware), up to 256 MiB; then passes.
    constexpr double kTarget = 0.5;
    constexpr std::uint32_t kMaxCalibratedMemKiB = 256 * 1024;
    KdfParams params{3, kMinKdfMemKiB};
    QElapsedTimer timer;
    timer.start();
    DataFileKey::create(u"calibration", params);
    const double seconds = std::max(double(timer.nsecsElapsed()) / 1e9, 1e-3);
    if (seconds >= kTarget * 0.7)
        return params;
    const double factor = kTarget / seconds;
    const double memKiB = std::min(double(kMinKdfMemKiB) * factor, double(kMaxCalibratedMemKiB));
    params.memKiB = std::max(kMinKdfMemKiB, std::uint32_t(memKiB / 1024) * 1024);
    const double passes = 3.0 * factor * double(kMinKdfMemKiB) / double(params.memKiB);
    params.passes = std::clamp(std::uint32_t(std::lround(passes)), 3u, kMaxKdfPasses);
    while (!acceptableKdfParams(params))
        --params.passes;
    return params;
}

DataFileKey DataFileKey::derive(QStringView password, const KdfParams& params,
                                const QByteArray& salt) {
    initSodium();
    QByteArray utf8 = password.toUtf8();
    SecretBytes key(kKeyBytes);
    const int failed = crypto_pwhash(
        key.data(), kKeyBytes, utf8.constData(), static_cast<unsigned long long>(utf8.size()),
        reinterpret_cast<const unsigned char*>(salt.constData()), params.passes,
        std::size_t(params.memKiB) * 1024, crypto_pwhash_ALG_ARGON2ID13);
    wipe(utf8);
    if (failed != 0)
        throw std::bad_alloc();
    return DataFileKey(std::move(key), params, salt);
}

DataFileKey DataFileKey::create(QStringView password, const KdfParams& params) {
    return derive(password, params, randomBytes(kSaltBytes));
}

namespace {
constexpr char kExportedTag[] = "sirano-key";
}

QByteArray DataFileKey::exported() const {
    QByteArray text = QByteArray(kExportedTag) + ' ' + QByteArray::number(kVersion) + ' ' +
                      QByteArray::number(params_.passes) + ' ' +
                      QByteArray::number(params_.memKiB) + ' ' + salt_.toHex() + ' ';
    // Straight into the text, so that no other buffer holds the key in hex.
    const qsizetype start = text.size();
    text.resize(start + qsizetype(2 * kKeyBytes));  // the terminator's byte takes sodium's
    sodium_bin2hex(text.data() + start, 2 * kKeyBytes + 1, key_.data(), kKeyBytes);
    return text;
}

std::optional<DataFileKey> DataFileKey::fromExported(const QByteArray& text) {
    const QList<QByteArray> parts = text.split(' ');
    if (parts.size() != 6 || parts[0] != kExportedTag || parts[1] != QByteArray::number(kVersion))
        return std::nullopt;
    bool passesOk = false;
    bool memOk = false;
    const KdfParams params{parts[2].toUInt(&passesOk), parts[3].toUInt(&memOk)};
    const QByteArray salt = QByteArray::fromHex(parts[4]);
    if (!passesOk || !memOk || !acceptableKdfParams(params) ||
        salt.size() != qsizetype(kSaltBytes) || parts[5].size() != qsizetype(2 * kKeyBytes))
        return std::nullopt;
    SecretBytes key(kKeyBytes);
    if (sodium_hex2bin(key.data(), kKeyBytes, parts[5].constData(), std::size_t(parts[5].size()),
                       nullptr, nullptr, nullptr) != 0)
        return std::nullopt;
    return DataFileKey(std::move(key), params, salt);
}

bool isEnvelope(const QByteArray& fileBytes) {
    if (fileBytes.startsWith('#'))
        return true;
    const qsizetype end = fileBytes.indexOf('\n');
    const QByteArray firstLine = end < 0 ? fileBytes : fileBytes.left(end);
    return firstLine.contains(kMagic + 1);
}

QByteArray sealEnvelope(const QByteArray& plain, const DataFileKey& key) {
    const QByteArray lines = keyLines(key.params(), key.salt());
    const QByteArray nonce = randomBytes(kNonceBytes);
    QByteArray file =
        lines + "check " + keyCheck(key, lines).toHex() + "\nnonce " + nonce.toHex() + '\n';
    const qsizetype headerSize = file.size();
    file.resize(headerSize + plain.size() + qsizetype(kTagBytes));
    unsigned long long sealed = 0;
    crypto_aead_xchacha20poly1305_ietf_encrypt(
        reinterpret_cast<unsigned char*>(file.data() + headerSize), &sealed,
        reinterpret_cast<const unsigned char*>(plain.constData()),
        static_cast<unsigned long long>(plain.size()),
        reinterpret_cast<const unsigned char*>(file.constData()),
        static_cast<unsigned long long>(headerSize), nullptr,
        reinterpret_cast<const unsigned char*>(nonce.constData()), key.bytes());
    return file;
}

PlainBytes plainDataFileBytes(const QByteArray& fileBytes, const QString& path,
                              DataFileAccess* access) {
    if (!isEnvelope(fileBytes)) {
        if (access != nullptr)
            access->key.reset();
        return PlainBytes(fileBytes);
    }
    const Header h = readHeader(fileBytes, path);
    if (access == nullptr)
        throw LoadError(err::kBadFileFormat, path, 0, 0, Reason{Why::NeedsMasterPassword});
    std::optional<DataFileKey> derived;
    const DataFileKey* key = nullptr;
    if (access->key && access->key->params() == h.params && access->key->salt() == h.salt) {
        key = &*access->key;
    } else if (access->password.isEmpty()) {
        // A key of another sealing, and no password to derive one: an empty password never
        // seals a file.
        throw LoadError(err::kBadFileFormat, path, 0, 0, Reason{Why::WrongMasterPassword});
    } else {
        try {
            derived = DataFileKey::derive(access->password, h.params, h.salt);
        } catch (const std::bad_alloc&) {
            throw LoadError(err::kBadFileFormat, path, 0, 0, Reason{Why::KeyNotDerived});
        }
        key = &*derived;
    }
    if (sodium_memcmp(keyCheck(*key, h.keyLines).constData(), h.check.constData(), kCheckBytes) !=
        0)
        throw LoadError(err::kBadFileFormat, path, 0, 0, Reason{Why::WrongMasterPassword});
    const auto sealedSize = static_cast<std::size_t>(fileBytes.size() - h.size);
    SecretBytes plain(sealedSize - kTagBytes);
    unsigned long long opened = 0;
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(
            plain.data(), &opened, nullptr,
            reinterpret_cast<const unsigned char*>(fileBytes.constData() + h.size), sealedSize,
            reinterpret_cast<const unsigned char*>(fileBytes.constData()),
            static_cast<unsigned long long>(h.size),
            reinterpret_cast<const unsigned char*>(h.nonce.constData()), key->bytes()) != 0)
        throw LoadError(err::kBadFileFormat, path, 0, 0, Reason{Why::ContentsNotAuthentic});
    if (derived)
        access->key = std::move(derived);
    return PlainBytes(std::move(plain));
}

}  // namespace sirano
