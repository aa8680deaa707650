"""The HQVGA decode as a numpy user would write it; prints its median time."""
import sys
import time

import numpy as np

ROUNDS = 301
TWO_PI = np.float32(6.2831855)


def decode(capture, shift, short_range, modulation_hz):
    """capture: (4, 180, 240) uint16 phase frames; returns depth, amplitude, confidence."""
    s = ((capture >> shift) & 0x7FF).astype(np.int16)
    s = np.where(s >= 0x400, s - 0x800, s) * np.int16(16)  # 11-bit two's complement, scaled
    if short_range:
        y, x = s[1] - s[3], s[2] - s[0]
    else:
        y, x = s[2] - s[0], s[3] - s[1]
    y = y.astype(np.float32)
    x = x.astype(np.float32)
    phi = np.arctan2(y, x)
    phi = np.where(phi < 0, phi + TWO_PI, phi)
    scale = np.float32(3.0e8) / (np.float32(modulation_hz) * np.float32(12.566371))
    depth = (scale * phi) * np.float32(1000.0)
    amplitude = np.float32(0.5) * np.hypot(x, y)
    return depth, amplitude, amplitude.copy()


def main():
    rng = np.random.default_rng(42)
    capture = rng.integers(0, 1 << 16, size=(4, 180, 240), dtype=np.uint16)
    for _ in range(5):
        decode(capture, 0, False, 37.5e6)
    times = []
    for _ in range(ROUNDS):
        t0 = time.perf_counter()
        decode(capture, 0, False, 37.5e6)
        times.append(time.perf_counter() - t0)
    print(f"hqvga_decode_numpy_us {np.median(times) * 1e6:.6g} us")
    print(f"numpy {np.__version__}", file=sys.stderr)


if __name__ == "__main__":
    main()
