#ifndef TEXTESCAPE_H
#define TEXTESCAPE_H

#include <QString>

// A character that must not reach a screen or a record as it is: a control or formatting
// character (an escape sequence, a bidirectional override), a line or paragraph separator.
bool isUnprintable(QChar c);

// Text from a file, the command line or a record as it may be shown: what cannot be printed
// escaped (\x1b, \u202e), and cut to a length that fits a message.
QString quotedForMessage(const QString &text, int maxLength = 60);
// Room for a file name in a message: a path of a few folders fits whole.
constexpr int PathInMessage = 200;

#endif // TEXTESCAPE_H
