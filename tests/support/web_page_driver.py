"""Drives headless Chromium through its DevTools protocol for the web
caller's test, one command a line on standard input, one answer a line on
standard output:

  open URL           load the page
  wait TEXT SECONDS  until the terminal's rows hold TEXT: "OK" or "TIMEOUT"
  screen             the rows, as JSON
  type TEXT          keys typed into the terminal (\\r for Enter)
  shot PATH          a PNG screenshot
  status             the page's connection status text
"""
import asyncio
import base64
import json
import os
import subprocess
import sys
import tempfile
import time
import urllib.request

import websockets

SCREEN = "window.orvaScreen ? orvaScreen().join('\\n') : ''"


class Page:
    def __init__(self, socket):
        self.socket = socket
        self.next_id = 0

    async def call(self, method, **params):
        self.next_id += 1
        await self.socket.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            message = json.loads(await self.socket.recv())
            if message.get("id") == self.next_id:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error']}")
                return message.get("result", {})

    async def evaluate(self, expression):
        result = await self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        return result.get("result", {}).get("value")

    async def key(self, char):
        if char == "\r":
            fields = {"key": "Enter", "code": "Enter", "windowsVirtualKeyCode": 13, "text": "\r"}
        else:
            fields = {"key": char, "text": char}
        await self.call("Input.dispatchKeyEvent", type="keyDown", **fields)
        await self.call("Input.dispatchKeyEvent", type="keyUp", key=fields["key"])


async def main(chromium):
    profile = tempfile.mkdtemp(prefix="orva-chromium-")
    browser = subprocess.Popen(
        [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--ignore-certificate-errors", "--window-size=800,600", "--remote-debugging-port=0",
         "--user-data-dir=" + profile, "about:blank"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        active = os.path.join(profile, "DevToolsActivePort")
        deadline = time.monotonic() + 30
        while not (os.path.exists(active) and open(active).read().count("\n") >= 1):
            if time.monotonic() > deadline:
                raise RuntimeError("Chromium did not open its DevTools port")
            await asyncio.sleep(0.05)
        port = open(active).read().split("\n")[0]
        targets = json.load(urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list"))
        url = next(t["webSocketDebuggerUrl"] for t in targets if t["type"] == "page")
        async with websockets.connect(url, max_size=None) as socket:
            page = Page(socket)
            loop = asyncio.get_running_loop()
            while True:
                line = await loop.run_in_executor(None, sys.stdin.readline)
                if not line:
                    break
                command, _, argument = line.rstrip("\n").partition(" ")
                if command == "open":
                    await page.call("Page.navigate", url=argument)
                    answer = "OK"
                elif command == "wait":
                    text, _, seconds = argument.rpartition(" ")
                    deadline = time.monotonic() + float(seconds)
                    answer = "TIMEOUT"
                    while time.monotonic() < deadline:
                        if text in (await page.evaluate(SCREEN) or ""):
                            answer = "OK"
                            break
                        await asyncio.sleep(0.05)
                elif command == "screen":
                    answer = json.dumps(await page.evaluate(SCREEN))
                elif command == "type":
                    for char in argument.replace("\\r", "\r"):
                        await page.key(char)
                    answer = "OK"
                elif command == "shot":
                    shot = await page.call("Page.captureScreenshot", format="png")
                    with open(argument, "wb") as out:
                        out.write(base64.b64decode(shot["data"]))
                    answer = "OK"
                elif command == "status":
                    answer = await page.evaluate("document.getElementById('status').textContent")
                else:
                    answer = "UNKNOWN " + command
                print(answer, flush=True)
    finally:
        browser.kill()
        browser.wait()


asyncio.run(main(sys.argv[1] if len(sys.argv) > 1 else "/usr/bin/chromium"))
