"""The classic wrapper (tarvelin.ClassicBoard) against the virtual board.

    TARVELIN_LIBRARY=build/native/libtarvelin.so.3 python3 -m unittest discover -s bindings/python/tests

TARVELIN_BOARD names the board program (default build/native/tarvelin-board).
"""
import os
import pathlib
import re
import subprocess
import time
import unittest

import tarvelin
from tarvelin import errors

ROOT = pathlib.Path(__file__).resolve().parents[3]
COM = 3


def start_board():
    """A virtual board and its pseudo-terminal; its control lines go to board.stdin."""
    program = os.environ.get("TARVELIN_BOARD", str(ROOT / "build/native/tarvelin-board"))
    board = subprocess.Popen([program], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             text=True)
    path = board.stdout.readline().strip()
    if not path:
        board.kill()
        board.wait()
        raise RuntimeError(f"{program} did not report its pseudo-terminal")
    return board, path


def stop_board(board):
    board.terminate()
    board.wait(10)
    board.stdin.close()
    board.stdout.close()


class Declarations(unittest.TestCase):
    def test_every_export_declared_with_its_argument_count(self):
        table = {}
        for line in (ROOT / "src/exports/exports.tab").read_text().splitlines():
            match = re.match(r"^\d+\s+(\w+)\s+(\d+)", line)
            if match:
                table[match[1]] = int(match[2]) // 4
        declared = {name: len(arguments) for name, (_, arguments) in tarvelin.SIGNATURES.items()}
        self.assertEqual(declared, table)

    def test_error_constants_are_the_header_ones(self):
        header = (ROOT / "include/tarvelin.h").read_text()
        wanted = {name: int(value) for name, value in
                  re.findall(r"#define\s+(TARVELIN_E_\w+)\s+\(?(-?\d+)\)?", header)}
        ours = {name: getattr(errors, name) for name in dir(errors) if name.startswith("TARVELIN_E_")}
        self.assertEqual(ours, wanted, "python3 scripts/sync_error_constants.py writes them")


class AgainstTheBoard(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.board, path = start_board()
        os.environ[f"TARVELIN_COM{COM}"] = path

    @classmethod
    def tearDownClass(cls):
        stop_board(cls.board)

    def test_with_block_opens_and_closes_the_port(self):
        with tarvelin.ClassicBoard(COM) as board:
            self.assertEqual(board.port, COM)
            self.assertEqual(board.baud_rate, 9600)
            self.assertEqual(board.read_port("b"), 255)
        lib = tarvelin.native()
        self.assertEqual(lib.PortClose(), -1)
        self.assertEqual(lib.GetError(), errors.TARVELIN_E_PORT_NOT_OPEN)

    def test_failures_raise_code_and_text(self):
        with tarvelin.ClassicBoard(COM) as board:
            with self.assertRaises(tarvelin.TarvelinError) as caught:
                board.read_port("E")
            self.assertEqual((caught.exception.code, caught.exception.text),
                             (errors.TARVELIN_E_NO_SUCH_PORT, "No such port"))
            with self.assertRaises(tarvelin.TarvelinError) as caught:
                board.write_port("A", 17)  # port A is not an output: the board refuses
            self.assertEqual(caught.exception.code, errors.TARVELIN_E_DEVICE_NOT_CONFIGURED)
            self.assertIn("(command = PWA17)", caught.exception.text)
            with self.assertRaises(tarvelin.TarvelinError) as caught:
                board.set_pwm(14, 50, 10)
            self.assertEqual(caught.exception.code, errors.TARVELIN_E_PWM_FREQUENCY)
        with self.assertRaises(tarvelin.TarvelinError) as caught:
            tarvelin.ClassicBoard(99)  # no such device
        self.assertEqual(caught.exception.code, errors.TARVELIN_E_OPEN_FAILED)

    def test_commands_and_values(self):
        with tarvelin.ClassicBoard(COM) as board:
            board.command("PCC255")
            board.write_port("c", 17)
            self.assertEqual(board.read_port("C"), 17)
            self.assertEqual(board.period(), 2000)
            self.assertEqual(board.adc(10, 14), 768)
            self.assertTrue(tarvelin.ClassicBoard.version().startswith(" Dorvik DLL version "))

    def test_sample_gives_one_list_per_channel(self):
        with tarvelin.ClassicBoard(COM) as board:
            first, second = board.sample(10, [0, 3], rate_code=1, samples=40, numpy=False)
            self.assertEqual((len(first), len(second)), (40, 40))
            for value in first + second:
                self.assertTrue(0 <= value <= 1023, value)
            # Channel 0's sine runs 4 times faster than channel 3's: it moves more.
            self.assertGreater(max(first) - min(first), 0)
            with self.assertRaises(ValueError):
                board.sample(10, [11], 1, 10)
            # By default a numpy array of (channels, samples) when numpy is there.
            block = board.sample(8, 0b100, 1, 5)
            try:
                import numpy  # noqa: F401
            except ImportError:
                self.assertEqual([len(values) for values in block], [5])
            else:
                self.assertEqual(block.shape, (1, 5))


if __name__ == "__main__":
    unittest.main()
