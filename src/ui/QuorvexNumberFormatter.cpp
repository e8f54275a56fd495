#include "ui/QuorvexNumberFormatter.h"

#include <charconv>
#include <cmath>
#include <string>

QuorvexNumberFormatter::QuorvexNumberFormatter(QObject* parent) : QValidator(parent) {}

std::optional<double> QuorvexNumberFormatter::scanDouble(const QString& string,
                                                         const QLocale& locale) {
    // The locale's separators become C notation; digits are read as far as they go.
    QString text = string.trimmed();
    text.remove(locale.groupSeparator());
    text.replace(locale.decimalPoint(), QStringLiteral("."));
    if (text.startsWith(QLatin1Char('+'))) text.remove(0, 1);
    const std::string bytes = text.toStdString();
    double value = 0;
    const auto [end, error] = std::from_chars(bytes.data(), bytes.data() + bytes.size(), value,
                                              std::chars_format::general);
    if (error != std::errc() || end == bytes.data() || !std::isfinite(value)) return std::nullopt;
    return value;
}

bool QuorvexNumberFormatter::getObjectValue(double* value, const QString& string, QString*) {
    double result;
    if (const auto read = scanDouble(string, locale())) {
        result = *read;
        if (maximum_ && result > *maximum_)
            result = *maximum_;
        else if (minimum_ && result < *minimum_)
            result = *minimum_;
    } else {
        result = lastGoodNumber_.value_or(0.0);
    }
    lastGoodNumber_ = result;
    if (value) *value = result;
    return true;
}

QValidator::State QuorvexNumberFormatter::validate(QString&, int&) const { return Acceptable; }

void QuorvexNumberFormatter::fixup(QString& input) const {
    double value = 0;
    const_cast<QuorvexNumberFormatter*>(this)->getObjectValue(&value, input);
    input = locale().toString(value, 'g', 10);
}
