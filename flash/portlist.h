#ifndef PORTLIST_H
#define PORTLIST_H

// The system's serial ports, with enough to tell two identical adapters apart: their serial
// numbers, or where they are plugged in. As a table, or as JSON for scripts.
void listPorts(bool json);

#endif // PORTLIST_H
