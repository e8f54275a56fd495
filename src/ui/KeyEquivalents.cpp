#include "ui/KeyEquivalents.h"

#include <array>
#include <utility>

namespace platform {

namespace {

using Pair = std::pair<int, int>;

// Ctrl+Alt (Command-Option): key to key; Alt is dropped.
constexpr std::array<Pair, 1> kCommandOption{{{Qt::Key_0, Qt::Key_1}}};

// Ctrl alone (Command).
constexpr std::array<Pair, 8> kCommand{{
    {Qt::Key_S, Qt::Key_E},
    {Qt::Key_0, Qt::Key_F},
    {Qt::Key_Underscore, Qt::Key_Minus},
    {Qt::Key_macron, Qt::Key_Minus},
    {0x2013, Qt::Key_Minus},  // en dash
    {0x2014, Qt::Key_Minus},  // em dash
    {0x2012, Qt::Key_Minus},  // figure dash
    {0x2212, Qt::Key_Minus},  // minus sign
}};

template <size_t N>
std::optional<int> lookUp(const std::array<Pair, N>& table, int key) {
    for (const auto& [from, to] : table)
        if (from == key) return to;
    return std::nullopt;
}

}  // namespace

std::optional<KeyChord> rewriteKeyEquivalent(const KeyChord& chord) {
    const bool command = chord.modifiers.testFlag(Qt::ControlModifier);
    const bool option = chord.modifiers.testFlag(Qt::AltModifier);
    if (!command) return std::nullopt;
    if (option) {
        if (auto to = lookUp(kCommandOption, chord.key))
            return KeyChord{*to, chord.modifiers & ~Qt::AltModifier};
        return std::nullopt;
    }
    if (auto to = lookUp(kCommand, chord.key)) return KeyChord{*to, chord.modifiers};
    return std::nullopt;
}

QList<QKeySequence> keyEquivalentSources(const QKeySequence& target) {
    QList<QKeySequence> sources;
    if (target.count() != 1) return sources;
    const QKeyCombination combination = target[0];
    const Qt::KeyboardModifiers modifiers = combination.keyboardModifiers();
    const int key = static_cast<int>(combination.key());
    if (modifiers == Qt::ControlModifier) {
        for (const auto& [from, to] : kCommand)
            if (to == key) sources.append(QKeySequence(QKeyCombination(modifiers, Qt::Key(from))));
        for (const auto& [from, to] : kCommandOption)
            if (to == key)
                sources.append(
                    QKeySequence(QKeyCombination(modifiers | Qt::AltModifier, Qt::Key(from))));
    }
    return sources;
}

QList<QKeySequence> shortcutsWithKeyEquivalents(const QKeySequence& target) {
    QList<QKeySequence> all{target};
    all.append(keyEquivalentSources(target));
    return all;
}

}  // namespace platform
