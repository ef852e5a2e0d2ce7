#!/usr/bin/env python3
"""Writes the program's two wave sounds (our own synthesis): error.wav, a short falling two-tone beep,
and thunder.wav, a rumble of filtered noise that swells and fades over about two seconds."""
import math, random, struct, sys, wave, os

RATE = 22050

def save(path, samples):
    with wave.open(path, "wb") as w:
        w.setnchannels(1); w.setsampwidth(2); w.setframerate(RATE)
        w.writeframes(b"".join(struct.pack("<h", max(-32767, min(32767, int(s * 32767)))) for s in samples))

def error_sound():
    out = []
    for freq, dur in ((880, 0.12), (660, 0.18)):
        n = int(RATE * dur)
        for i in range(n):
            env = min(1.0, i / 200, (n - i) / 400)
            out.append(0.5 * env * math.sin(2 * math.pi * freq * i / RATE))
    return out

def thunder_sound():
    rnd = random.Random(1918)
    n = int(RATE * 2.2)
    out, low = [], 0.0
    for i in range(n):
        t = i / RATE
        low += 0.02 * (rnd.uniform(-1, 1) - low)
        env = (1 - math.exp(-t * 12)) * math.exp(-t * 1.6) * (1 + 0.5 * math.sin(t * 9))
        out.append(min(1.0, 6 * env * low))
    return out

if __name__ == "__main__":
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "resources")
    save(os.path.join(folder, "error.wav"), error_sound())
    save(os.path.join(folder, "thunder.wav"), thunder_sound())
