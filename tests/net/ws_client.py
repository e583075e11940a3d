"""WebSocket client for the loopback test: talks to the test server's echo
handler on 127.0.0.1:<port> and prints one line per check."""
import asyncio
import sys

import websockets


async def main(port):
    uri = "ws://127.0.0.1:%d/ws" % port
    # No client pings: the idle check must see the server's ping.
    async with websockets.connect(uri, ping_interval=None, max_size=None) as ws:
        await ws.send("Hello")
        print("echo", await ws.recv(), flush=True)
        await ws.send(["Hello", ", ", "world"])  # one message in three fragments
        print("fragmented", await ws.recv(), flush=True)
        for n in (125, 126, 65535, 65536):
            await ws.send("len:%d" % n)
            print("len", n, len(await ws.recv()), flush=True)
        # Idle long enough for the server's ping; the library answers it.
        await asyncio.sleep(8)
        print("idle done", flush=True)
        await ws.close()
        print("close", ws.close_code, flush=True)


asyncio.run(asyncio.wait_for(main(int(sys.argv[1])), 60))
