"""Reads port B and samples two analog channels on the board at COM3.

    pip install bindings/python          (or: pip install --no-build-isolation bindings/python)
    python example.py

two_boards.py drives two boards at once. tarvelin.ClassicBoard is the wrapper
of the classic exports, for programs written against earlier versions.
"""
import tarvelin

print(tarvelin.version())
try:
    with tarvelin.Board("COM3") as board:
        print("port B:", board.port_read("B"))
        first, second = board.sample(10, [0, 1], rate_code=2, sample_count=10, numpy=False)
        print("channel 0:", list(first))
        print("channel 1:", list(second))
except tarvelin.TarvelinError as error:
    print(f"error {error.code}: {error.text}")
    raise SystemExit(1)
