// The numeric value of a text: leading blanks skipped, then the longest leading decimal number
// (sign, digits, decimal point, exponent) or "&H" hexadecimal; 0 when nothing numeric leads.
#pragma once

#include <QStringView>

namespace sirano {

double numericValue(QStringView text);

}  // namespace sirano
