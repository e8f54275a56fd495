// A number field's validator that never refuses its text: a number read
// from the start of the text (in the locale's notation) is clamped to the
// maximum, else the minimum, when those are set; text without a readable
// number gives the last good number (0 at first). "inf", "nan" and numbers
// beyond double's range count as unreadable. Every result becomes the last
// good number. GUI thread only.
#pragma once

#include <QLocale>
#include <QValidator>
#include <optional>

class QuorvexNumberFormatter : public QValidator {
    Q_OBJECT
public:
    explicit QuorvexNumberFormatter(QObject* parent = nullptr);

    void setMinimum(std::optional<double> minimum) { minimum_ = minimum; }
    void setMaximum(std::optional<double> maximum) { maximum_ = maximum; }
    std::optional<double> minimum() const { return minimum_; }
    std::optional<double> maximum() const { return maximum_; }
    std::optional<double> lastGoodNumber() const { return lastGoodNumber_; }
    void setLastGoodNumber(std::optional<double> number) { lastGoodNumber_ = number; }

    // Always succeeds with a number; errorDescription is never set.
    bool getObjectValue(double* value, const QString& string, QString* errorDescription = nullptr);

    // The leading number of the text, or nullopt (also for inf, nan, overflow).
    static std::optional<double> scanDouble(const QString& string, const QLocale& locale);

    State validate(QString& input, int& position) const override;
    void fixup(QString& input) const override;

private:
    std::optional<double> minimum_, maximum_, lastGoodNumber_;
};
