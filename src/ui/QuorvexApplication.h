// The application object. It runs the main queue on Qt's event loop from its
// creation to its destruction (MainQueueWaker), rewrites key equivalents of
// KeyPress events that reach widgets (KeyEquivalents.h), gives a menu's
// Ctrl chords to its action before a text field's key bindings, and turns SIGTERM,
// SIGINT and SIGHUP into terminationRequested() on the GUI thread so a
// killed application still quits in order. Made on the process's initial
// thread.
#pragma once

#include <QApplication>

class QSocketNotifier;

class QuorvexApplication : public QApplication {
    Q_OBJECT
public:
    QuorvexApplication(int& argc, char** argv);
    ~QuorvexApplication() override;

    bool notify(QObject* receiver, QEvent* event) override;

    // From now on the three signals request termination instead of killing.
    void watchTerminationSignals();

signals:
    void terminationRequested();

private:
    static bool menuTakesChord(const class QKeyEvent& key);
    QSocketNotifier* signalNotifier_ = nullptr;
};
