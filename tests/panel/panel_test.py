#!/usr/bin/env python3
"""The panel as a user sees it: the virtual board, `tarvelin panel` and headless
Chromium driven through chromedriver.

    python3 tests/panel/panel_test.py BUILD_DIR ARTIFACT_DIR

Ends with "panel: N passed, N failed"; exits nonzero on any failure. The page's
screenshot is kept as ARTIFACT_DIR/panel.png.
"""
import json
import os
import re
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

BUILD, ARTIFACTS = sys.argv[1], sys.argv[2]
WORK = tempfile.mkdtemp(prefix="tarvelin-panel.")
LINK = os.path.join(WORK, "board")
WIRE = os.path.join(WORK, "wire.log")
passed = failed = 0


def check(name, condition, detail=""):
    global passed, failed
    if condition:
        passed += 1
        print(f"ok    {name}", flush=True)
    else:
        failed += 1
        print(f"FAIL  {name}" + (f"\n      {detail}" if detail else ""), flush=True)


class Board:
    """A virtual board behind LINK; control lines go to its standard input."""

    def __init__(self, log):
        self.process = subprocess.Popen(
            [os.path.join(BUILD, "tarvelin-board"), "--link", LINK, "--log", log],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.device = self.process.stdout.readline().strip()  # printed once the board is ready

    def control(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


def wire():
    with open(WIRE, encoding="utf-8", errors="replace") as f:
        return f.read()


def sent(command):
    """Whether the board's log shows `command` from the host."""
    return re.search(r"host +" + re.escape(command) + r"\\r", wire()) is not None


def wait(driver, what, seconds=10):
    try:
        return WebDriverWait(driver, seconds, poll_frequency=0.05).until(lambda d: what(d))
    except Exception:
        return False


def text_of(driver, element_id):
    # Read in the page: the element may be redrawn between a look-up and a read.
    return driver.execute_script(
        "const e = document.getElementById(arguments[0]); return e ? e.innerText : '';", element_id)


def lamp_on(driver, element_id):
    return driver.execute_script(
        "const e = document.getElementById(arguments[0]); return !!e && e.classList.contains('on');", element_id)


def request(url, body=None, headers=None):
    """A plain HTTP request; (status, body text)."""
    data = None if body is None else (body if isinstance(body, bytes) else json.dumps(body).encode())
    req = urllib.request.Request(url, data=data, headers=headers or {}, method="POST" if data is not None else "GET")
    try:
        with urllib.request.urlopen(req, timeout=10) as response:
            return response.status, response.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode()


def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--disable-dev-shm-usage", f"--user-data-dir={WORK}/chromium", "--window-size=1400,1000"):
        options.add_argument(argument)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def run(driver, board, url):
    origin = url.split("/?")[0]
    host = origin[len("http://"):]
    token = url.split("token=")[1]

    # 1. The page loads with the token; the address keeps it no longer, the cookie carries it.
    driver.get(url)
    loaded = wait(driver, lambda d: text_of(d, "line-state") == "open" and text_of(d, "port") == LINK)
    check("the page loads with the token and shows the line open on the device path given, no TARVELIN_COM set",
          loaded, f"{text_of(driver, 'line-state')} {text_of(driver, 'port')}")
    check("the token leaves the address bar", "token" not in driver.current_url, driver.current_url)

    # 2. An input change on the board shows on its lamps, in this tab and in a second one.
    first = driver.current_window_handle
    driver.switch_to.new_window("tab")
    driver.get(origin + "/")
    second = driver.current_window_handle
    board.control("port B 17")
    lamps = {}
    for handle in (first, second):
        driver.switch_to.window(handle)
        lamps[handle] = wait(driver, lambda d: text_of(d, "value-B").startswith("17 ") and
                             lamp_on(d, "lamp-B-0") and lamp_on(d, "lamp-B-4") and not lamp_on(d, "lamp-B-1"))
    check("port B's input change shows on its lamps in two tabs", all(lamps.values()), text_of(driver, "value-B"))
    driver.close()
    driver.switch_to.window(first)

    # 3. Port C made an output, then a click on bit 2's switch writes the board's port C.
    driver.find_element(By.ID, "dir-C").clear()
    driver.find_element(By.ID, "dir-C").send_keys("255")
    driver.find_element(By.ID, "dir-C-set").click()
    shown = wait(driver, lambda d: d.find_element(By.ID, "switch-C-2").is_displayed())
    if shown:
        driver.find_element(By.ID, "switch-C-2").click()
    written = wait(driver, lambda d: sent("PWC4") and lamp_on(d, "lamp-C-2"))
    check("a click on port C's switch sends PWC4 and the board reads it back", shown and written,
          [line for line in wire().splitlines() if "PWC" in line or "PCC" in line][-3:])

    # 4. The analog chart gets new points, as numbers within the signal's range.
    driver.find_element(By.ID, "analog-ch-0").click()
    wait(driver, lambda d: d.find_element(By.ID, "analog-ch-0").is_selected())
    driver.find_element(By.ID, "analog-ch-1").click()
    points = lambda d: int(d.find_element(By.ID, "analog-chart").get_attribute("data-points") or 0)
    wait(driver, lambda d: points(d) >= 5)
    before = points(driver)
    grew = wait(driver, lambda d: points(d) >= before + 10)
    value = text_of(driver, "analog-value-1")
    check("the analog chart gets new points (10 bits, 102..922)", grew and 102 <= int(value or -1) <= 922,
          f"points {before} -> {points(driver)}, value {value!r}")

    # 5. Block sampling of 2 channels x 500: 500 points each, a CSV of 500 rows.
    form = {"sample-channels": "0,1", "sample-count": "500"}
    for element_id, text in form.items():
        driver.find_element(By.ID, element_id).clear()
        driver.find_element(By.ID, element_id).send_keys(text)
    driver.find_element(By.ID, "sample-go").click()
    drawn = wait(driver, lambda d: d.find_element(By.ID, "sample-chart").get_attribute("data-points") == "500,500", 20)
    csv = driver.execute_async_script(
        "const done = arguments[0]; fetch('/api/sample.csv').then(r => r.text()).then(done, e => done(String(e)));")
    rows = csv.strip().split("\n")
    check("block sampling draws 500 points per channel and its CSV has 500 rows",
          drawn and rows[0] == "ch0,ch1" and len(rows) == 501 and all(len(r.split(",")) == 2 for r in rows[1:]),
          f"{driver.find_element(By.ID, 'sample-chart').get_attribute('data-points')!r}, {len(rows)} lines: {rows[:2]}")

    # 6. A stepper run moves the counter up to its end of travel; a PWM run raises the end-of-run lamp.
    for element_id, text in {"motor-steps": "60", "motor-speed": "100"}.items():
        driver.find_element(By.ID, element_id).clear()
        driver.find_element(By.ID, element_id).send_keys(text)
    driver.find_element(By.ID, "motor-go").click()
    moving = wait(driver, lambda d: 0 < int(text_of(d, "motor-counter")) < 60)
    ended = wait(driver, lambda d: text_of(d, "motor-counter") == "60" and lamp_on(d, "motor-limit"))
    check("a stepper run moves the counter to 60 and lights the end of travel", moving and ended,
          text_of(driver, "motor-counter"))
    for element_id, text in {"pwm-frequency": "1000", "pwm-pulses": "300"}.items():
        driver.find_element(By.ID, element_id).clear()
        driver.find_element(By.ID, element_id).send_keys(text)
    was_on = lamp_on(driver, "pwm-finished")
    driver.find_element(By.ID, "pwm-go").click()
    finished = wait(driver, lambda d: lamp_on(d, "pwm-finished"))
    check("a PWM run raises the end-of-run lamp", not was_on and finished and sent("W1000;50;300"))

    # 7. The terminal: a command's value; a bad command's error code and text.
    terminal = driver.find_element(By.ID, "term-input")
    terminal.send_keys("PRB", Keys.ENTER)
    value_shown = wait(driver, lambda d: text_of(d, "term-output").endswith("> PRB\n17"))
    terminal.send_keys("XYZ", Keys.ENTER)
    error_shown = wait(driver, lambda d: "error 1: Command Error: Syntax error (command = XYZ)" in text_of(d, "term-output"))
    terminal.send_keys(Keys.ARROW_UP, Keys.ARROW_UP)
    check("the terminal shows a value, a bad command's code and text, and its history",
          value_shown and error_shown and terminal.get_attribute("value") == "PRB", text_of(driver, "term-output"))

    # 8. Requests without the token, with a foreign Host or Origin are refused, and the board gets nothing.
    write = {"op": "portWrite", "port": "C", "value": 77}
    json_type = {"Content-Type": "application/json"}
    refused = [
        request(origin + "/api/op", write, {**json_type, "Origin": origin}),
        request(origin + "/?token=" + "0" * len(token)),
        request(url, headers={"Host": "rebind.example:" + host.split(":")[1]}),
        request(origin + "/api/op?token=" + token, write, {**json_type, "Origin": "http://rebind.example"}),
        request(origin + "/api/op?token=" + token, write, json_type),
    ]
    time.sleep(0.6)  # two poll rounds: a write that got through would show by now
    check("no token, a wrong token, a foreign Host, a foreign or no Origin: 403, nothing sent",
          [status for status, _ in refused] == [403] * 5 and not sent("PWC77") and
          not text_of(driver, "value-C").startswith("77 "), refused)
    malformed = [request(origin + "/api/op?token=" + token, body, {**json_type, "Origin": origin}) for body in
                 (b"{not json", b"x" * 100000, {"op": "portWrite", "port": "Q", "value": 1}, {"op": "nothing"},
                  b'{"op": "portWrite", "port": "C", "value": 18446744073709551615}',
                  {"op": "sample", "bits": 10, "channels": [0], "rate": 7, "samples": 65536})]
    accepted = request(origin + "/api/op?token=" + token, write, {**json_type, "Origin": origin})
    check("malformed, oversized and too long requests get 400 or 413 with a reason; the same write from the page's "
          "origin works",
          [status for status, _ in malformed] == [400, 413, 400, 400, 400, 400] and "'port'" in malformed[2][1] and
          accepted == (200, '{"ok":true,"value":1}') and wait(driver, lambda d: sent("PWC77")),
          (malformed, accepted))

    # The whole page, for the README and as the lane's artifact.
    height = driver.execute_script("return document.documentElement.scrollHeight")
    driver.set_window_size(1400, height + 100)
    driver.execute_script("window.scrollTo(0, 0)")
    time.sleep(0.3)
    os.makedirs(ARTIFACTS, exist_ok=True)
    driver.save_screenshot(os.path.join(ARTIFACTS, "panel.png"))
    driver.set_window_size(1400, 1000)

    # 9. The board hangs up: the line shows as gone within a second; a new board behind the link reopens.
    started = time.monotonic()
    board.control("hangup")
    gone = wait(driver, lambda d: text_of(d, "line-state") == "gone", 5)
    seconds = time.monotonic() - started
    check(f"a hang-up shows as 'gone' within a second ({seconds:.2f} s)", gone and seconds < 1.0,
          text_of(driver, "line-state"))
    board.stop()
    board = Board(os.path.join(WORK, "wire2.log"))
    driver.find_element(By.ID, "reopen").click()
    reopened = wait(driver, lambda d: text_of(d, "line-state") == "reopened" and text_of(d, "value-B").startswith("255 "))
    check("Reopen opens the port again and reads the new board", reopened,
          f"{text_of(driver, 'line-state')} {text_of(driver, 'value-B')} {text_of(driver, 'last-error')}")
    return board


def listen_checks():
    """--listen: a bad address is bad usage; every address warns but the loopback;
    listening on every address takes an address of this machine as the Host, never
    a name. The port cannot be opened here: the panel serves and says so."""
    tool = os.path.join(BUILD, "tarvelin")
    bad = subprocess.run([tool, "panel", "--listen", "127.0.0.1"], capture_output=True, text=True, timeout=30)
    env = {**os.environ, "TARVELIN_COM9": os.path.join(WORK, "no-such-port")}
    panel = subprocess.Popen([tool, "--port", "COM9", "panel", "--listen", "0.0.0.0:0"], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    url = panel.stdout.readline().strip()
    origin, token = url.split("/?token=") if "/?token=" in url else ("http://127.0.0.1:1", "")
    port = origin.rsplit(":", 1)[1]
    hosts = [request(f"{origin}/?token={token}", headers={"Host": f"{host}:{port}"})[0]
             for host in ("127.0.0.1", "localhost", "rebind.example")]
    state = None
    with urllib.request.urlopen(f"{origin}/api/events?token={token}", timeout=10) as stream:
        for raw in stream:
            if raw.startswith(b"data: ") and b'"line"' in raw:
                state = json.loads(raw[6:])
                break
    panel.send_signal(2)
    panel.wait(timeout=10)
    warning = panel.stderr.read()
    check("--listen: bad usage exits 2; 0.0.0.0 warns and takes IP and localhost Hosts, not names",
          bad.returncode == 2 and "--listen takes HOST:PORT" in bad.stderr and "warning: listening on 0.0.0.0" in warning
          and hosts == [200, 200, 403], (bad.returncode, bad.stderr, warning, hosts))
    check("a port that cannot be opened: the panel serves, the line closed on COM9, error 36 naming the device",
          state is not None and state["line"] == "closed" and state["port"] == 9 and
          state["lastError"]["code"] == 36 and "no-such-port" in state["lastError"]["message"], state)


def main():
    listen_checks()
    board = Board(WIRE)
    # The device path alone names the board: no COM mapping in the environment.
    env = {name: value for name, value in os.environ.items() if not name.startswith("TARVELIN_COM")}
    panel = subprocess.Popen([os.path.join(BUILD, "tarvelin"), "--port", LINK, "panel", "--listen", "127.0.0.1:0"],
                             env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    url = panel.stdout.readline().strip()  # the first line once it listens
    check("the panel prints its address with the token first", url.startswith("http://127.0.0.1:") and
          "/?token=" in url and len(url.split("token=")[1]) == 32, url)
    driver = None
    try:
        driver = browser()
        board = run(driver, board, url)
    finally:
        if driver is not None:
            driver.quit()
        panel.send_signal(2)  # Ctrl-C: the panel closes the port and ends
        try:
            status = panel.wait(timeout=10)
        except subprocess.TimeoutExpired:
            panel.kill()
            status = panel.wait()
        check("Ctrl-C ends the panel with status 0", status == 0, panel.stderr.read())
        board.stop()
    print(f"panel: {passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
