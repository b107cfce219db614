"""GIF files of the codec against independent decoders and encoders: images written by the codec
must decode to the same pixels in Pillow and in giflib's gif2rgb; GIFs written by Pillow
(interlaced too) must decode to the same pixels in the codec. Usage: gif_interop.py SAMPLE_PROGRAM"""
import os
import random
import subprocess
import sys
import tempfile

from PIL import Image

TOOL = sys.argv[1]
failures = []
checks = 0


def check(ok, text):
    global checks
    checks += 1
    if not ok:
        failures.append(text)


def gif2rgb(path, out):
    subprocess.run(["gif2rgb", "-1", "-o", out, path], check=True, stdout=subprocess.DEVNULL)
    with open(out, "rb") as f:
        return f.read()


def written_by_codec(folder):
    subprocess.run([TOOL, "write", folder], check=True)
    for bits in (1, 4, 8):
        name = os.path.join(folder, f"rand{bits}")
        with open(name + ".rgb", "rb") as f:
            expected = f.read()
        with Image.open(name + ".gif") as image:
            check(image.size == (1000, 700), f"rand{bits}: Pillow size {image.size}")
            check(image.convert("RGB").tobytes() == expected, f"rand{bits}: Pillow pixels differ")
        check(gif2rgb(name + ".gif", name + ".giflib") == expected, f"rand{bits}: gif2rgb pixels differ")
    with Image.open(os.path.join(folder, "anim.gif")) as image:
        check(image.n_frames == 2, f"anim: {image.n_frames} frames")
        check(image.info.get("loop") == 0, f"anim: loop {image.info.get('loop')}")


def written_by_pillow(folder):
    rng = random.Random(1209)
    cases = []
    for colors in (2, 16, 256):
        for interlace in (False, True):
            cases.append((colors, interlace))
    for index, (colors, interlace) in enumerate(cases):
        width, height = 1000, 700
        image = Image.new("P", (width, height))
        palette = [rng.randrange(256) for _ in range(colors * 3)]
        image.putpalette(palette)
        pixels = bytes(rng.randrange(colors) if x < width // 2 else (x // 29 + y // 17) % colors
                       for y in range(height) for x in range(width))
        image.frombytes(pixels)
        path = os.path.join(folder, f"pil{index}.gif")
        image.save(path, interlace=interlace, optimize=False)
        with Image.open(path) as reread:
            expected = reread.convert("RGB").tobytes()
        out = os.path.join(folder, f"pil{index}.rgb")
        run = subprocess.run([TOOL, "decode", path, out], capture_output=True, text=True)
        if run.returncode != 0:
            failures.append(f"pil{index} ({colors} colours, interlace {interlace}): {run.stderr.strip()}")
            continue
        with open(out, "rb") as f:
            check(f.read() == expected, f"pil{index} ({colors} colours, interlace {interlace}): pixels differ")


def main():
    with tempfile.TemporaryDirectory() as folder:
        written_by_codec(folder)
        written_by_pillow(folder)
    for failure in failures:
        print("FAIL:", failure)
    print(f"{checks - len(failures)} of {checks} checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
