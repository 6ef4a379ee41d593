#!/usr/bin/python3
"""Runs the demo headless for a short time and checks what it leaves behind:
its own verdict, the summary, and a waterfall picture whose brightest column
lies at the frequency of the loudest simulated station (read from the pixels).

Usage: test_demo.py --exe PATH [--seconds N]
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
DEMO = os.path.join(HERE, "..", "..", "scripts", "demo.py")
CONFIG = argparse.Namespace(exe=None, seconds=10)


class DemoRun(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out = tempfile.mkdtemp(prefix="tarnwick-demo-")
        env = dict(os.environ, DEMO_SECONDS=str(CONFIG.seconds))
        cls.run_result = subprocess.run(
            [sys.executable, DEMO, "--exe", CONFIG.exe, "--out", cls.out],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            env=env, timeout=120 + CONFIG.seconds)
        cls.output = cls.run_result.stdout.decode("utf-8", "replace")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.out, ignore_errors=True)

    def test_demo_passes_its_own_checks(self):
        self.assertEqual(self.run_result.returncode, 0, self.output[-3000:])
        with open(os.path.join(self.out, "summary.txt")) as f:
            summary = f.read()
        self.assertIn("result: PASS", summary)
        self.assertIn("lost: nothing", summary)
        self.assertIn("exit code 0", summary)

    def test_headless_output_is_plain_lines(self):
        self.assertNotIn("\x1b[", self.output)
        self.assertIn("latest spectrum |", self.output)

    def test_waterfall_png(self):
        import matplotlib.image as mpimg
        png = os.path.join(self.out, "waterfall.png")
        with open(png, "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
        pixels = mpimg.imread(png)
        height, width = pixels.shape[:2]
        self.assertTrue(600 <= width <= 3000 and 400 <= height <= 3000, pixels.shape)
        self.assertIn(pixels.shape[2], (3, 4))
        with open(os.path.join(self.out, "waterfall.json")) as f:
            layout = json.load(f)
        self.assertEqual(layout["image_size"], [width, height])
        x0, y0, x1, y1 = layout["axes_px"]
        self.assertTrue(0 < x0 < x1 < width and 0 < y0 < y1 < height, layout["axes_px"])
        area = pixels[y0:y1 + 1, x0:x1 + 1, :3].astype(float)
        # The data area is a picture, not an empty frame: its rows differ from each other.
        self.assertGreater(float(area.std()), 0.02)
        brightness = area @ np.array([0.2126, 0.7152, 0.0722])
        column = int(np.argmax(brightness.mean(axis=0)))
        left, right = layout["khz"]
        khz = left + (column + 0.5) * (right - left) / (x1 - x0 + 1)
        loudest = layout["strongest_signal"]
        self.assertAlmostEqual(khz, loudest["khz"], delta=0.25,
                               msg=f"brightest column at {khz:.3f} kHz, {loudest['call']} is "
                                   f"at {loudest['khz']:.3f} kHz")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", default=os.environ.get("TARNWICK_EXE"))
    parser.add_argument("--seconds", type=float, default=10)
    args, rest = parser.parse_known_args()
    if not args.exe:
        parser.error("--exe (or TARNWICK_EXE) is required")
    CONFIG.exe, CONFIG.seconds = os.path.abspath(args.exe), args.seconds
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
