#ifndef HELPTEXT_H
#define HELPTEXT_H

#include <QString>

// What --help says above the options: the command's forms, its exit codes, what Ctrl-C does.
QString helpDescription();

#endif // HELPTEXT_H
