#include "NumericValue.h"

#include <charconv>
#include <cmath>
#include <string>

namespace sirano {
namespace {

bool isDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

bool isBlank(QChar c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\u3000';
}

double hexValue(QStringView digits) {
    double v = 0;
    for (QChar c : digits) {
        int d = -1;
        if (isDigit(c))
            d = c.unicode() - u'0';
        else if (c >= u'A' && c <= u'F')
            d = c.unicode() - u'A' + 10;
        else if (c >= u'a' && c <= u'f')
            d = c.unicode() - u'a' + 10;
        if (d < 0)
            break;
        v = v * 16 + d;
    }
    return v;
}

}  // namespace

double numericValue(QStringView text) {
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && isBlank(text[i]))
        ++i;
    if (i + 1 < n && text[i] == u'&' && (text[i + 1] == u'H' || text[i + 1] == u'h'))
        return hexValue(text.mid(i + 2));

    // The longest leading part of the form [sign] digits [. digits] [e [sign] digits].
    std::string number;
    if (i < n && (text[i] == u'+' || text[i] == u'-'))
        number += static_cast<char>(text[i++].unicode());
    bool mantissaDigits = false;
    while (i < n && isDigit(text[i])) {
        number += static_cast<char>(text[i++].unicode());
        mantissaDigits = true;
    }
    if (i < n && text[i] == u'.') {
        number += '.';
        ++i;
        while (i < n && isDigit(text[i])) {
            number += static_cast<char>(text[i++].unicode());
            mantissaDigits = true;
        }
    }
    if (!mantissaDigits)
        return 0;
    if (i < n && (text[i] == u'e' || text[i] == u'E')) {
        qsizetype j = i + 1;
        std::string exponent = "e";
        if (j < n && (text[j] == u'+' || text[j] == u'-'))
            exponent += static_cast<char>(text[j++].unicode());
        const qsizetype digitsStart = j;
        while (j < n && isDigit(text[j]))
            exponent += static_cast<char>(text[j++].unicode());
        if (j > digitsStart)
            number += exponent;
    }
    if (number.front() == '+')
        number.erase(0, 1);
    double v = 0;
    const auto result = std::from_chars(number.data(), number.data() + number.size(), v);
    if (result.ec == std::errc::result_out_of_range) {
        // Too small rounds to 0; too large is infinite, which callers' range checks refuse.
        const bool tiny = number.find("e-") != std::string::npos;
        const bool negative = number.front() == '-';
        v = tiny ? 0.0 : (negative ? -HUGE_VAL : HUGE_VAL);
    }
    return v;
}

}  // namespace sirano
