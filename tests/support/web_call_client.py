"""A web caller for the tests, on Python's websockets: calls ORVA's /call
(ws:// or wss://) as a page would, with the Telnet layer undone. One line
of JSON on standard output for each result.

  head URL [OPTIONS]      the call's bytes until "Connected to KELB line N"
                          or the close, and how long that took
  echo URL BYTES [OPTIONS] every byte value, BYTES of them, each way through
                          a line of the simulator's --echo
  hold URL COUNT [OPTIONS] COUNT calls kept open until standard input ends
  misbehave URL text|big  a text frame, or a frame past 64 KiB, then the close
  page URL [OPTIONS]      a GET of the page (https:// too): status and body
Options: --cafile PEM, --forwarded LIST (X-Forwarded-For), --from ADDRESS.
"""
import asyncio
import json
import ssl
import sys
import time
import urllib.request

import websockets

IAC = 255
CONNECTED = b"Connected to KELB line "


def undo_telnet(data, state):
    """The board's data bytes: commands dropped, 255 undoubled."""
    out = bytearray()
    for b in data:
        if state[0] == "data":
            if b == IAC:
                state[0] = "command"
            else:
                out.append(b)
        elif state[0] == "command":
            if b == IAC:
                out.append(b)
                state[0] = "data"
            else:
                state[0] = "option" if 251 <= b <= 254 else "data"
        else:
            state[0] = "data"
    return bytes(out)


def options(args):
    found = {"--cafile": None, "--forwarded": None, "--from": None}
    for i in range(0, len(args) - 1, 2):
        found[args[i]] = args[i + 1]
    kwargs = {"subprotocols": ["binary"], "max_size": None, "open_timeout": 20}
    if found["--cafile"]:
        kwargs["ssl"] = ssl.create_default_context(cafile=found["--cafile"])
    if found["--forwarded"]:
        kwargs["extra_headers"] = [("X-Forwarded-For", found["--forwarded"])]
    if found["--from"]:
        kwargs["local_addr"] = (found["--from"], 0)
    return kwargs


def closed(socket):
    return {"code": socket.close_code, "reason": socket.close_reason}


async def head(socket, timeout=20):
    """Raw bytes until the line's number has come, or the close."""
    got = b""
    try:
        # The line's number ends with CR LF; the menu may follow in the
        # same frame.
        while not (CONNECTED in got and b"\r\n" in got[got.find(CONNECTED):]):
            got += await asyncio.wait_for(socket.recv(), timeout)
    except (websockets.ConnectionClosed, asyncio.TimeoutError):
        pass
    return got


async def run_head(url, kwargs):
    start = time.monotonic()
    async with websockets.connect(url, **kwargs) as socket:
        got = await head(socket)
        seconds = time.monotonic() - start
        if CONNECTED not in got:
            try:
                await asyncio.wait_for(socket.wait_closed(), 10)
            except asyncio.TimeoutError:
                pass
        result = {"protocol": socket.subprotocol, "data": got.decode("latin-1"), "seconds": seconds}
        result.update(closed(socket) if socket.closed else {"code": None})
        return result


async def run_echo(url, size, kwargs):
    sent = bytes(i % 256 for i in range(size))
    async with websockets.connect(url, **kwargs) as socket:
        if CONNECTED not in await head(socket):
            return {"ok": False, "why": "no line"}

        async def writer():
            for at in range(0, size, 4096):
                await socket.send(sent[at:at + 4096].replace(b"\xff", b"\xff\xff"))

        async def reader():
            got, state = bytearray(), ["data"]
            while len(got) < size:
                got += undo_telnet(await asyncio.wait_for(socket.recv(), 30), state)
            return bytes(got)

        got = (await asyncio.gather(writer(), reader()))[1]
        first = next((i for i in range(min(len(got), size)) if got[i] != sent[i]), None)
        return {"ok": got == sent, "received": len(got), "first_difference": first}


async def echoed(socket, word, timeout=20):
    """Sends word and reads until it has come back from an echoing board."""
    await socket.send(word)
    got = b""
    try:
        while word not in got:
            got += await asyncio.wait_for(socket.recv(), timeout)
    except (websockets.ConnectionClosed, asyncio.TimeoutError):
        return False
    return True


async def run_hold(url, count, kwargs, echo=False):
    sockets = []
    for i in range(count):
        socket = await websockets.connect(url, **kwargs)
        got = await head(socket)
        sockets.append(socket)
        held = {"held": i + 1, "connected": CONNECTED in got}
        if echo:
            held["echoed"] = await echoed(socket, b"word-%d;" % i)
        print(json.dumps(held), flush=True)
    await asyncio.get_running_loop().run_in_executor(None, sys.stdin.read)
    for socket in sockets:
        await socket.close()
    return {"released": count}


async def run_misbehave(url, how, kwargs):
    async with websockets.connect(url, **kwargs) as socket:
        await head(socket)
        await socket.send("text" if how == "text" else bytes(64 * 1024 + 1))
        try:
            while True:
                await asyncio.wait_for(socket.recv(), 10)
        except (websockets.ConnectionClosed, asyncio.TimeoutError):
            pass
        return closed(socket)


async def main(argv):
    mode, url = argv[1], argv[2]
    if mode == "page":
        context = options(argv[3:]).get("ssl")
        with urllib.request.urlopen(url, context=context, timeout=20) as reply:
            result = {"status": reply.status, "body": reply.read().decode("utf-8")}
    elif mode == "head":
        result = await run_head(url, options(argv[3:]))
    elif mode == "echo":
        result = await run_echo(url, int(argv[3]), options(argv[4:]))
    elif mode in ("hold", "hold-echo"):
        result = await run_hold(url, int(argv[3]), options(argv[4:]), mode == "hold-echo")
    else:
        result = await run_misbehave(url, argv[3], options(argv[4:]))
    print(json.dumps(result), flush=True)


asyncio.run(main(sys.argv))
