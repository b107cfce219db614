"""Opens the BMP streams written by the image codec with Pillow and compares the pixels with
the ones the codec means. Usage: pillow_bmp_check.py SAMPLE_PROGRAM"""
import os
import subprocess
import sys
import tempfile

from PIL import Image

EXPECTED_BITS = {"own1": 1, "own4": 4, "own8": 8, "own24": 24, "p8to24": 24, "p4to24": 24,
                 "rgbto1": 1, "rgbto4": 4, "hist200": 8, "hist5000": 8, "median": 8,
                 "fixed784": 8, "fixed666": 8, "mosaic": 8, "grey": 8}
MODES = {1: ("1", "P"), 4: ("P",), 8: ("P", "L"), 24: ("RGB",)}


def main():
    with tempfile.TemporaryDirectory() as folder:
        subprocess.run([sys.argv[1], folder], check=True)
        failures = []
        for name, bits in sorted(EXPECTED_BITS.items()):
            path = os.path.join(folder, name + ".bmp")
            with open(os.path.join(folder, name + ".rgb"), "rb") as f:
                expected = f.read()
            with Image.open(path) as image:
                image.load()
                if image.format != "BMP" or image.mode not in MODES[bits]:
                    failures.append(f"{name}: format {image.format} mode {image.mode}")
                    continue
                got = image.convert("RGB").tobytes()
                if got != expected:
                    failures.append(f"{name}: pixels differ")
            if not failures or not failures[-1].startswith(name + ":"):
                print(f"{name}: {bits} bits ok")
        if failures:
            print("\n".join(failures), file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
