// The system's I2C adapter list and the parsing of bus and chip-address
// texts, used by the CSI transport to find its sensor's bus.
#pragma once

namespace Norvane {

struct I2cAdapter {
    int nr;             // bus number
    char* name;         // owned; null marks the end of the list
    const char* funcs;  // short type text
    const char* algo;   // long type text (or the procfs algorithm text)
};

// Gathers the adapters from /proc/bus/i2c, or else from sysfs. The list ends
// with an entry whose name is null. Null after "Error: Out of memory!".
I2cAdapter* gatherI2cBusses();
void freeI2cBusses(I2cAdapter* list);

// The bus number of the one adapter named exactly `name`, or -1.
int lookupI2cBusByName(const char* name);
// A bus number from a number text (decimal, 0x hex, 0 octal) or an adapter
// name; -1 on failure.
int parseI2cBusText(const char* text);
// A 7-bit chip address from a number text: -1 if not a number, -2 if
// outside 0x03-0x77.
int parseChipAddress(const char* text);

}  // namespace Norvane
