#include <norvane/NorvaneTOFCamera.h>

#include <cstdio>

int main() {
    std::puts(Norvane::to_str(Norvane::NorvaneSkipFrame));
    return 0;
}
