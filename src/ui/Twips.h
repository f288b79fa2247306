// Window geometry given in twips: 15 twips are one pixel at 96 dpi; Qt scales for high-dpi screens.
#pragma once

#include <QRect>
#include <QSize>

namespace sirano {

constexpr int twips(int t) {
    return (t + 7) / 15;
}
constexpr QRect twipsRect(int left, int top, int width, int height) {
    return QRect(twips(left), twips(top), twips(width), twips(height));
}
constexpr QSize twipsSize(int width, int height) {
    return QSize(twips(width), twips(height));
}

}  // namespace sirano
