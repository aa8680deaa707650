#include <norvane/NorvaneTOFCamera.h>

#include <cstdio>

int main() {
    // A camera without a transport: every frame request comes back empty.
    Norvane::NorvaneTOFCamera cam;
    Norvane::NorvaneFrameBuffer* frame = cam.requestFrame(0);
    if (frame || cam.start(Norvane::FrameType::DEPTH) == Norvane::NorvaneSuccess) return 1;
    std::puts(Norvane::to_str(Norvane::NorvaneSkipFrame));
    return 0;
}
