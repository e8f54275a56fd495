// The key-equivalent rewrite of the application object as one pure function
// over Qt key codes, and its inverse for menu actions. Command is Ctrl,
// Option is Alt and Control is Meta.
//
// Qt matches shortcuts at ShortcutOverride, before QApplication::notify sees
// the KeyPress, so rewriting events alone never reaches a menu action: the
// action that a rewrite targets also carries the source keys
// (keyEquivalentSources).
#pragma once

#include <QKeySequence>
#include <QList>
#include <Qt>
#include <optional>

namespace platform {

struct KeyChord {
    int key = 0;  // Qt::Key, or the upper-case Unicode value of a character
    Qt::KeyboardModifiers modifiers;
    bool operator==(const KeyChord&) const = default;
};

// The chord a key-down becomes, or nullopt when it passes unchanged.
// Ctrl+Alt: "0" becomes "1" (Alt dropped). Ctrl without Alt: "s" becomes "e",
// "0" becomes "f", and "_", the macron, the en, em and figure dashes and the
// minus sign become "-". Other modifiers are kept.
std::optional<KeyChord> rewriteKeyEquivalent(const KeyChord& chord);

// Every shortcut that the rewrite turns into `target` (empty for most).
QList<QKeySequence> keyEquivalentSources(const QKeySequence& target);

// `target` followed by its sources: the shortcut list of a menu action.
QList<QKeySequence> shortcutsWithKeyEquivalents(const QKeySequence& target);

}  // namespace platform
