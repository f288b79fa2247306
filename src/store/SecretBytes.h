// Bytes that must not outlive their use: a key, the decrypted contents of the data file.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstddef>

namespace sirano {

// A buffer in libsodium's guarded memory: locked against swapping, fenced by guard pages, and
// zeroed when released. Move-only.
class SecretBytes {
public:
    SecretBytes() = default;
    // Throws std::bad_alloc when the memory cannot be had.
    explicit SecretBytes(std::size_t size);
    ~SecretBytes();
    SecretBytes(SecretBytes&& other) noexcept;
    SecretBytes& operator=(SecretBytes&& other) noexcept;
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;

    unsigned char* data() { return data_; }
    const unsigned char* data() const { return data_; }
    std::size_t size() const { return size_; }
    // A view without a copy; valid while this object lives and is not moved from.
    QByteArray view() const;
    // Zeroes and frees now.
    void clear();

private:
    unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
};

// Zeroes the bytes a QByteArray holds, when it is their only holder (a shared copy is left
// alone: its other holders still read it).
void wipe(QByteArray& bytes);
void wipe(QString& text);

// Makes libsodium ready; throws std::runtime_error when it cannot be.
void initSodium();

}  // namespace sirano
