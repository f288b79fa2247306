#include "SecretBytes.h"

#include <sodium.h>

#include <new>
#include <stdexcept>
#include <utility>

namespace sirano {

void initSodium() {
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium cannot be initialised");
}

SecretBytes::SecretBytes(std::size_t size) {
    initSodium();
    // sodium_malloc(0) still hands out a guarded region; keep the pointer so that release is
    // uniform.
    data_ = static_cast<unsigned char*>(sodium_malloc(size));
    if (data_ == nullptr)
        throw std::bad_alloc();
    size_ = size;
}

SecretBytes::~SecretBytes() {
    clear();
}

SecretBytes::SecretBytes(SecretBytes&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
        clear();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

QByteArray SecretBytes::view() const {
    return QByteArray::fromRawData(reinterpret_cast<const char*>(data_),
                                   static_cast<qsizetype>(size_));
}

void SecretBytes::clear() {
    if (data_ != nullptr)
        sodium_free(data_);  // zeroes before it frees
    data_ = nullptr;
    size_ = 0;
}

void wipe(QByteArray& bytes) {
    if (bytes.isDetached() && !bytes.isEmpty())
        sodium_memzero(bytes.data(), static_cast<size_t>(bytes.size()));
    bytes.clear();
}

void wipe(QString& text) {
    if (text.isDetached() && !text.isEmpty())
        sodium_memzero(text.data(), static_cast<size_t>(text.size()) * sizeof(QChar));
    text.clear();
}

}  // namespace sirano
