"""tarvelin.Board, on the library's handle API, against two virtual boards.

    TARVELIN_LIBRARY=build/native/libtarvelin.so.3 python3 -m unittest discover -s bindings/python/tests
"""
import ctypes
import errno
import os
import signal
import threading
import time
import unittest

import tarvelin
from tarvelin import errors
from test_board import start_board, stop_board

# A block of about 4 s (rate code 6: 25 ms a sample). A cancelled call ends within
# 100 ms; the bound, half the block, leaves room for a loaded machine. The board
# goes on sending the block, which the next command waits out.
LONG_BLOCK = (10, 1, 6, 160)
CANCEL_BOUND = 2.0


class HandleTestCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.processes, cls.paths = [], []
        for _ in range(2):
            process, path = start_board()
            cls.processes.append(process)
            cls.paths.append(path)

    @classmethod
    def tearDownClass(cls):
        for process in cls.processes:
            stop_board(process)

    def open(self, index=0):
        board = tarvelin.Board(self.paths[index])
        self.addCleanup(board.close)
        return board


class SeveralBoards(HandleTestCase):
    def test_threads_on_two_boards_each_get_their_own_boards_answers(self):
        boards = [self.open(0), self.open(1)]
        for index, process in enumerate(self.processes):
            process.stdin.write(f"port B {17 * (index + 1)}\n")
            process.stdin.flush()
        # The boards take control lines on their own thread: wait until both read what they were told.
        deadline = time.monotonic() + 10
        while [board.port_read("B") for board in boards] != [17, 34] and time.monotonic() < deadline:
            time.sleep(0.02)
        for board in boards:
            board.command("PCC255")
        problems = []

        def writer(index):
            # Each board gets values no other board is given: odd on one, even on the other.
            for value in range(index, 200, 2):
                boards[index].port_write("C", value)
                got = boards[index].port_read("C")
                if got != value:
                    problems.append(f"board {index}: wrote {value}, read {got}")

        def reader(index):
            # A second thread on the same board, between the writer's calls.
            for _ in range(100):
                got = boards[index].port_read("B")
                if got != 17 * (index + 1):
                    problems.append(f"board {index}: port B read {got}")

        threads = [threading.Thread(target=job, args=(index,)) for index in (0, 1) for job in (writer, reader)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(120)
        self.assertFalse(any(thread.is_alive() for thread in threads), "a thread still waits")
        self.assertEqual(problems, [])
        self.assertEqual([board.port_read("C") for board in boards], [198, 199])


class Failures(HandleTestCase):
    def test_a_failure_carries_the_code_and_the_boards_text(self):
        board = self.open()
        with self.assertRaises(tarvelin.TarvelinError) as caught:
            board.port_read("E")
        self.assertEqual((caught.exception.code, caught.exception.text), (errors.TARVELIN_E_NO_SUCH_PORT,
                                                                          "No such port"))
        with self.assertRaises(tarvelin.TarvelinError) as caught:
            board.port_write("A", 17)  # port A is not an output: the board refuses
        self.assertEqual(caught.exception.code, errors.TARVELIN_E_DEVICE_NOT_CONFIGURED)
        self.assertIn("(command = PWA17)", caught.exception.text)
        # A number ctypes would cut to its low 32 bits is refused before anything is sent.
        with self.assertRaises(ValueError):
            board.port_write("C", 2**32 + 17)
        with self.assertRaises(ValueError):
            board.command("PRB\0PWC1")

    def test_a_closed_or_null_handle_raises_code_90(self):
        board = self.open()
        board.close()
        board.close()
        for call in (lambda: board.port_read("B"), board.cancel, lambda: board.sample(10, 1, 1, 5)):
            with self.assertRaises(tarvelin.TarvelinError) as caught:
                call()
            self.assertEqual(caught.exception.code, errors.TARVELIN_E_BAD_HANDLE)
            self.assertEqual(caught.exception.text, tarvelin.code_text(errors.TARVELIN_E_BAD_HANDLE))
        value = ctypes.c_int32()
        self.assertEqual(tarvelin.native().tarvelin_port_read(None, ord("B"), ctypes.byref(value)),
                         errors.TARVELIN_E_BAD_HANDLE)

    def test_a_failed_open_names_the_device_and_the_systems_reason(self):
        missing = os.path.join(os.path.dirname(self.paths[0]), "tarvelin-no-such-device")
        with self.assertRaises(tarvelin.TarvelinError) as caught:
            tarvelin.Board(missing)
        self.assertEqual(caught.exception.code, errors.TARVELIN_E_OPEN_FAILED)
        self.assertIn(missing, caught.exception.text)
        self.assertIn(os.strerror(errno.ENOENT), caught.exception.text)


class Sampling(HandleTestCase):
    def test_progress_reports_the_values_as_they_arrive(self):
        board = self.open()
        calls = []
        first, second = board.sample(10, [0, 3], 1, 40, progress=lambda received, total: calls.append(
            (received, total)), numpy=False)
        self.assertEqual((len(first), len(second)), (40, 40))
        self.assertTrue(all(0 <= value <= 1023 for value in first + second))
        self.assertEqual(calls[-1], (80, 80))
        self.assertEqual([received for received, _ in calls], sorted(received for received, _ in calls))

    def assertCancelledSoon(self, board, started):
        self.assertLess(time.monotonic() - started, CANCEL_BOUND)
        # What the board still sent for the block is not taken for the next answer.
        self.assertEqual(board.port_read("B"), 255)

    def test_a_true_result_or_an_exception_in_progress_cancels(self):
        board = self.open()
        started = time.monotonic()
        with self.assertRaises(tarvelin.TarvelinError) as caught:
            board.sample(*LONG_BLOCK, progress=lambda received, total: received > 0)
        self.assertEqual(caught.exception.code, errors.TARVELIN_E_CANCELLED)
        self.assertCancelledSoon(board, started)

        def fails(received, total):
            raise KeyError("from the callback")

        started = time.monotonic()
        with self.assertRaises(KeyError):
            board.sample(*LONG_BLOCK, progress=fails)
        self.assertCancelledSoon(board, started)

    def test_cancel_from_another_thread(self):
        board = self.open()
        arriving = threading.Event()
        canceller = threading.Thread(target=lambda: arriving.wait(CANCEL_BOUND) and board.cancel())
        canceller.start()
        self.addCleanup(canceller.join)
        started = time.monotonic()
        with self.assertRaises(tarvelin.TarvelinError) as caught:
            board.sample(*LONG_BLOCK, progress=lambda received, total: received > 0 and arriving.set())
        self.assertEqual(caught.exception.code, errors.TARVELIN_E_CANCELLED)
        self.assertCancelledSoon(board, started)

    @unittest.skipUnless(signal.getsignal(signal.SIGINT) is signal.default_int_handler, "Ctrl-C is handled elsewhere")
    def test_ctrl_c_cancels_and_is_raised_after_the_call(self):
        board = self.open()
        arriving = threading.Event()
        interrupter = threading.Thread(target=lambda: arriving.wait(CANCEL_BOUND) and os.kill(os.getpid(),
                                                                                              signal.SIGINT))
        interrupter.start()
        self.addCleanup(interrupter.join)
        started = time.monotonic()
        with self.assertRaises(KeyboardInterrupt):
            board.sample(*LONG_BLOCK, progress=lambda received, total: received > 0 and arriving.set())
        self.assertCancelledSoon(board, started)
        self.assertIs(signal.getsignal(signal.SIGINT), signal.default_int_handler)


if __name__ == "__main__":
    unittest.main()
