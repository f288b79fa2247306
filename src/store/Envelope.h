// The encrypted data file: an envelope around exactly the bytes of the plain format, sealed with
// a key derived from the master password (docs/data-file.md, "Encrypted data file").
#pragma once

#include "SecretBytes.h"

#include <QByteArray>
#include <QString>
#include <QStringView>
#include <cstdint>
#include <optional>

namespace sirano {

// Argon2id's cost: passes over memKiB kibibytes.
struct KdfParams {
    std::uint32_t passes = 0;
    std::uint32_t memKiB = 0;
    bool operator==(const KdfParams&) const = default;
};

// What a file may ask for. Below the floor SIRANO never writes; above the ceilings a hostile
// file would exhaust the machine's memory or time, so it is refused before any work.
inline constexpr std::uint32_t kMinKdfMemKiB = 64 * 1024;
inline constexpr std::uint32_t kMaxKdfMemKiB = 1024 * 1024;
inline constexpr std::uint32_t kMaxKdfPasses = 16;
inline constexpr std::uint64_t kMaxKdfWorkKiB = 4ull * 1024 * 1024;  // passes x memory
bool acceptableKdfParams(const KdfParams& params);

// Parameters for which one derivation takes about half a second on this machine, never below
// 64 MiB; takes about a second to measure.
KdfParams calibratedKdfParams();

// The key that seals and opens one data file, with the parameters and salt it was derived
// with: a save keeps them, so that it needs no new derivation. The key lives in guarded memory
// and is zeroed when this is destroyed.
class DataFileKey {
public:
    // Throws std::bad_alloc when the derivation's memory cannot be had.
    static DataFileKey derive(QStringView password, const KdfParams& params,
                              const QByteArray& salt);
    // A fresh random salt.
    static DataFileKey create(QStringView password, const KdfParams& params);

    // The key with its parameters and salt as one line of text, as the desktop keyring keeps it
    // (the caller wipes it), and back; nothing for a text that is not one or asks for
    // parameters a file may not.
    QByteArray exported() const;
    static std::optional<DataFileKey> fromExported(const QByteArray& text);

    const KdfParams& params() const { return params_; }
    const QByteArray& salt() const { return salt_; }
    const unsigned char* bytes() const { return key_.data(); }

private:
    DataFileKey(SecretBytes key, const KdfParams& params, QByteArray salt)
        : key_(std::move(key)), params_(params), salt_(std::move(salt)) {}
    SecretBytes key_;
    KdfParams params_;
    QByteArray salt_;
};

// Whether these bytes are (or were, before damage) an encrypted data file: they start with '#'
// or their first line names the envelope. No plain data file does either, and one changed byte
// cannot undo both.
bool isEnvelope(const QByteArray& fileBytes);

// Seals the plain bytes with a fresh nonce.
QByteArray sealEnvelope(const QByteArray& plain, const DataFileKey& key);

// The bytes of the data file as the plain format holds them: the file's own bytes when it is
// plain, else the decrypted contents (in guarded memory, zeroed when this is destroyed).
class PlainBytes {
public:
    explicit PlainBytes(QByteArray fileBytes) : plain_(std::move(fileBytes)) {}
    explicit PlainBytes(SecretBytes decrypted)
        : decrypted_(std::move(decrypted)), plain_(decrypted_.view()) {}
    const QByteArray& bytes() const { return plain_; }

private:
    SecretBytes decrypted_;
    QByteArray plain_;
};

// How to open an encrypted data file: with the master password, or with a key already derived
// (its parameters and salt must be the file's). After a load, key is the one that opened the
// file, for the saves; a plain file empties it.
struct DataFileAccess {
    QString password;
    std::optional<DataFileKey> key;
};

// Opens fileBytes (read from path, which names it in errors) as the plain format holds them.
// A plain file passes as it is. An encrypted one needs access (LoadError NeedsMasterPassword
// without it); a damaged header, parameters beyond the ceilings, a wrong password or contents
// that fail their authentication throw LoadError before anything is parsed.
PlainBytes plainDataFileBytes(const QByteArray& fileBytes, const QString& path,
                              DataFileAccess* access);

}  // namespace sirano
