"""Drives two boards at once, one thread each: writes port C, reads it back and
samples a block while a line shows how far each board has come.

    python two_boards.py [PORT PORT]          (default COM3 COM4)

Each board has its own handle in the library, so neither waits for the other.
"""
import sys
import threading

import tarvelin

SAMPLES = 200


def drive(port, value, results, lock):
    try:
        with tarvelin.Board(port) as board:
            board.command("PCC255")  # port C as outputs
            board.port_write("C", value)
            read = board.port_read("C")

            def progress(received, total):
                with lock:
                    print(f"{port}: {received}/{total} values", file=sys.stderr)
                # Nothing returned: the sampling goes on (a true result would cancel it).

            block = board.sample(10, [0, 1], rate_code=4, sample_count=SAMPLES, progress=progress, numpy=False)
            results[port] = f"{port}: port C {read}, {len(block[0])} samples of channels 0 and 1"
    except tarvelin.TarvelinError as error:
        results[port] = f"{port}: error {error.code}: {error.text}"


def main(ports):
    results, lock = {}, threading.Lock()
    threads = [threading.Thread(target=drive, args=(port, 17 * (index + 1), results, lock))
               for index, port in enumerate(ports)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for port in ports:
        print(results[port])
    return 0 if all(": error" not in line for line in results.values()) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:3] if len(sys.argv) >= 3 else ["COM3", "COM4"]))
