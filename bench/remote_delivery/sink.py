#!/usr/bin/python3
"""A fast SMTP sink for the remote delivery benchmark (asyncio, stdlib only).

    sink.py ADDRESS PORT

Listens on ADDRESS:PORT, greets, answers every command with 250 (DATA with
354, QUIT with 221), reads the data up to its end marker in one piece, keeps
nothing and counts the messages. The extra command "XCOUNT" answers
"250 <messages so far>", so the driver can tell when all mail has arrived.
Prints "READY" once it listens and ends on SIGTERM.
"""

import asyncio
import signal
import sys

# One message's data may be this large before the sink gives up on it.
MAX_MESSAGE = 64 << 20

count = 0


async def session(reader, writer):
    global count
    writer.write(b"220 sink.bench.test ESMTP sink\r\n")
    try:
        while True:
            line = await reader.readline()
            if not line:
                break
            verb = line[:6].upper()
            if verb.startswith(b"DATA"):
                writer.write(b"354 End data with <CR><LF>.<CR><LF>\r\n")
                await writer.drain()
                await reader.readuntil(b"\r\n.\r\n")
                count += 1
                writer.write(b"250 OK\r\n")
            elif verb.startswith(b"QUIT"):
                writer.write(b"221 Bye\r\n")
                await writer.drain()
                break
            elif verb.startswith(b"XCOUNT"):
                writer.write(b"250 %d\r\n" % count)
            else:
                writer.write(b"250 OK\r\n")
            await writer.drain()
    except (asyncio.IncompleteReadError, asyncio.LimitOverrunError, ConnectionError):
        pass
    finally:
        writer.close()


async def main(address, port):
    server = await asyncio.start_server(session, address, port, limit=MAX_MESSAGE)
    stop = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
    print("READY", flush=True)
    async with server:
        await stop.wait()


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1], int(sys.argv[2])))
