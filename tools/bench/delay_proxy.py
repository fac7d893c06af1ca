#!/usr/bin/python3
"""A TCP proxy on 127.0.0.1 that adds a round trip time, for benchmarks.

delay_proxy.py PORTFILE TARGET_PORT RTT_MS [SECONDS]

Listens on a free port of 127.0.0.1 (written to PORTFILE), forwards every
connection to 127.0.0.1:TARGET_PORT, and holds back what passes in each
direction for half of RTT_MS, keeping the order and passing later data on
without waiting for earlier data to be taken (so that pipelined commands
stay pipelined). Ends by itself after SECONDS (default 900).
"""
import asyncio
import os
import sys


async def pump(reader, writer, delay):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def send():
        while True:
            due, data = await queue.get()
            if data is None:
                break
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            writer.write(data)
            await writer.drain()
        writer.close()

    sender = asyncio.create_task(send())
    try:
        while True:
            data = await reader.read(65536)
            if not data:
                break
            queue.put_nowait((loop.time() + delay, data))
    finally:
        queue.put_nowait((loop.time() + delay, None))
        try:
            await sender
        except (ConnectionError, OSError):
            pass


async def main():
    portfile, target, rtt = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]) / 1000.0
    seconds = float(sys.argv[4]) if len(sys.argv) > 4 else 900.0

    async def handle(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(
            pump(client_reader, server_writer, rtt / 2),
            pump(server_reader, client_writer, rtt / 2),
            return_exceptions=True,
        )

    server = await asyncio.start_server(handle, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    with open(portfile + ".new", "w") as f:
        f.write(str(port))
    os.rename(portfile + ".new", portfile)
    async with server:
        await asyncio.sleep(seconds)


if __name__ == "__main__":
    asyncio.run(main())
