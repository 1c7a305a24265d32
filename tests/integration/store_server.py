#!/usr/bin/python3
"""An SMTP server for the integration tests, built on aiosmtpd.

Listens on 127.0.0.1 only, on a free port that it writes to --port-file once
it listens. Every message it accepts is stored in --spool as N.eml (the data
exactly as aiosmtpd hands it over: dots already un-stuffed, line ends as
received) and then N.json (the envelope); the .json appears last, so a reader
that finds it finds the whole message. Every RCPT it is offered, accepted or
not, is appended to rcpt.jsonl in the spool.

A recipient whose local part begins with "refuse" is refused with 550. The
server ends on SIGTERM or SIGINT, and by itself once the process --watch-pid
is gone, so that a test run that dies cannot leave it behind.
"""

import argparse
import asyncio
import json
import os
import signal
import sys

from aiosmtpd.smtp import SMTP

SERVER_NAME = "aiosmtpd.test"


def refusal(address):
    return f"550 5.1.1 <{address}>: Recipient address rejected: no such user"


def write_atomically(path, data):
    temp = path + ".part"
    with open(temp, "wb") as f:
        f.write(data)
    os.rename(temp, path)


class StoringHandler:
    def __init__(self, spool):
        self.spool = spool
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        refused = address.split("@", 1)[0].lower().startswith("refuse")
        line = json.dumps({"mail_from": envelope.mail_from, "rcpt": address, "refused": refused})
        with open(os.path.join(self.spool, "rcpt.jsonl"), "a", encoding="utf-8") as f:
            f.write(line + "\n")
        if refused:
            return refusal(address)
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        name = f"{self.count:06d}"
        content = envelope.original_content
        write_atomically(os.path.join(self.spool, name + ".eml"), content)
        record = {
            "helo": session.host_name,
            "peer": list(session.peer[:2]),
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "size": len(content),
            "message": name + ".eml",
        }
        write_atomically(os.path.join(self.spool, name + ".json"),
                         json.dumps(record, indent=1).encode("utf-8"))
        return f"250 OK stored as {name}"


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


async def serve(args):
    loop = asyncio.get_running_loop()
    handler = StoringHandler(args.spool)
    server = await loop.create_server(
        # Room for bodies well beyond the largest test; a fixed hostname keeps
        # aiosmtpd from looking the machine's name up in DNS.
        lambda: SMTP(handler, hostname=SERVER_NAME, data_size_limit=256 * 1024 * 1024,
                     loop=loop),
        host="127.0.0.1", port=0)
    port = server.sockets[0].getsockname()[1]
    write_atomically(args.port_file, f"{port}\n".encode())
    print(f"listening on 127.0.0.1:{port}", flush=True)

    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)

    async def watch():
        while alive(args.watch_pid):
            await asyncio.sleep(0.5)
        print(f"process {args.watch_pid} is gone; stopping", flush=True)
        stop.set()

    watcher = asyncio.create_task(watch()) if args.watch_pid else None
    try:
        await asyncio.wait_for(stop.wait(), timeout=args.max_seconds)
    except asyncio.TimeoutError:
        print(f"ran for {args.max_seconds} s; stopping", flush=True)
    if watcher:
        watcher.cancel()
    server.close()
    await server.wait_closed()
    print(f"stopped after {handler.count} messages", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--spool", required=True, help="folder for the received messages")
    parser.add_argument("--port-file", required=True, help="file that receives the port")
    parser.add_argument("--watch-pid", type=int, default=0,
                        help="stop once this process has ended")
    parser.add_argument("--max-seconds", type=float, default=3600.0,
                        help="stop after this long whatever happens")
    args = parser.parse_args()
    os.makedirs(args.spool, exist_ok=True)
    asyncio.run(serve(args))
    return 0


if __name__ == "__main__":
    sys.exit(main())
