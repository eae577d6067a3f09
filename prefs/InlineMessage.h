#pragma once

class QLabel;
class QString;

// The one-line messages of the preferences window (a refused field, a refused forward, a save
// that failed): the label shows while it has a text and hides without one, so an empty message
// takes no room.
class InlineMessage {
public:
    static void show(QLabel* label, const QString& text);
};
