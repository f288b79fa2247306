// The desktop's keyring, where the key of an encrypted data file is kept for the automatic
// log-in at start: the Secret Service (GNOME Keyring, KWallet) on the session bus.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace sirano {

// The name under which the key of the data file at path is kept.
QString dataFileKeyEntry(const QString& dataFilePath);

class KeyRing {
public:
    virtual ~KeyRing() = default;
    // Whether a keyring answers on the session bus (or would be started by it) now.
    virtual bool available() = 0;
    // Keeps secret under name, replacing what was there; the keyring's reason when it could not.
    virtual std::optional<QString> store(const QString& name, const QByteArray& secret) = 0;
    // What is kept under name; nothing when nothing is, or no keyring answers. The caller wipes
    // it.
    virtual std::optional<QByteArray> read(const QString& name) = 0;
    // Forgets what is kept under name; nothing happens when nothing is, or no keyring answers.
    virtual void remove(const QString& name) = 0;
};

// A desktop without a keyring.
class NoKeyRing final : public KeyRing {
public:
    bool available() override { return false; }
    std::optional<QString> store(const QString&, const QByteArray&) override {
        return QStringLiteral("no keyring");
    }
    std::optional<QByteArray> read(const QString&) override { return std::nullopt; }
    void remove(const QString&) override {}
};

// The Secret Service through QtKeychain, under the service name "SIRANO". Each call waits for
// the keyring's answer in a local event loop.
class SecretServiceKeyRing final : public KeyRing {
public:
    bool available() override;
    std::optional<QString> store(const QString& name, const QByteArray& secret) override;
    std::optional<QByteArray> read(const QString& name) override;
    void remove(const QString& name) override;
};

}  // namespace sirano
