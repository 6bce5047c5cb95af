#!/usr/bin/env python3
"""Drives headless Chromium through the DevTools protocol on a pipe (fds 3 and 4): opens
a page, then runs each step given as a JavaScript expression once the page has loaded,
and prints every step's value as one JSON line. A step "@until EXPRESSION" prints
nothing and waits, up to 30 seconds, until the expression is true.

    browser_session.py CHROMIUM URL STEP...
"""
import json
import os
import subprocess
import sys
import tempfile
import time


def main():
    chromium, url, steps = sys.argv[1], sys.argv[2], sys.argv[3:]
    to_browser_r, to_browser_w = os.pipe()
    from_browser_r, from_browser_w = os.pipe()
    profile = tempfile.mkdtemp(prefix="chromium-")

    def child_fds():
        os.dup2(to_browser_r, 3)
        os.dup2(from_browser_w, 4)

    proc = subprocess.Popen(
        [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-sync",
         "--disable-background-networking", "--disable-component-update", "--remote-debugging-pipe",
         "--user-data-dir=" + profile, "about:blank"],
        pass_fds=(3, 4), preexec_fn=child_fds, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(to_browser_r)
    os.close(from_browser_w)
    buffer = b""
    next_id = [0]

    def call(method, params=None, session=None):
        nonlocal buffer
        next_id[0] += 1
        message = {"id": next_id[0], "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(to_browser_w, json.dumps(message).encode() + b"\0")
        while True:
            while b"\0" not in buffer:
                chunk = os.read(from_browser_r, 65536)
                if not chunk:
                    raise RuntimeError("chromium closed the pipe")
                buffer += chunk
            raw, buffer = buffer.split(b"\0", 1)
            answer = json.loads(raw)
            if answer.get("id") == next_id[0]:
                if "error" in answer:
                    raise RuntimeError(json.dumps(answer["error"]))
                return answer.get("result", {})

    try:
        target = call("Target.createTarget", {"url": url})["targetId"]
        session = call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        def value(expression):
            result = call("Runtime.evaluate", {"expression": expression, "awaitPromise": True,
                                               "returnByValue": True}, session)
            return result.get("result", {}).get("value")

        def until(expression):
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline:
                if value(expression):
                    return
                time.sleep(0.2)

        until("location.protocol !== 'about:' && document.readyState === 'complete'")
        for step in steps:
            if step.startswith("@until "):
                until(step[len("@until "):])
                continue
            print(json.dumps(value(step)), flush=True)
    finally:
        proc.kill()
        proc.wait()


if __name__ == "__main__":
    main()
