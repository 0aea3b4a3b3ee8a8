"""Reads port B and samples two analog channels on the board at COM3.

    pip install bindings/python          (or: pip install --no-build-isolation bindings/python)
    python example.py
"""
import tarvelin

print(tarvelin.Board.version())
try:
    with tarvelin.Board(3) as board:
        print("port B:", board.read_port("B"))
        first, second = board.sample(resolution=10, channels=[0, 1], rate_code=2, samples=10, numpy=False)
        print("channel 0:", list(first))
        print("channel 1:", list(second))
except tarvelin.TarvelinError as error:
    print(f"error {error.code}: {error.text}")
    raise SystemExit(1)
