#!/usr/bin/python3
"""A scripted mail filter (milter) for the tests: it does at each stage what
its script says, and records what it was sent.

Two engines:
  * pymilter (the default): a real libmilter filter, so negotiation, the
    "no reply" and "skip" options and every action go through the filter
    library the real filters use.
  * raw (--raw MODE): a bare socket speaking just enough of the protocol to
    misbehave on purpose: garbage, silence, a close in the middle.

Usage:
  scriptfilter.py [--listen inet:127.0.0.1:0 | --listen unix:/path]
                  [--script JSON] [--record FILE] [--raw MODE]

When it listens it prints one line "READY <spec>" on standard output, spec
being the Milters entry that reaches it ("inet:127.0.0.1:40123").

The script (JSON) for the pymilter engine:
  {"stages": {STAGE: [STEP, ...], ...},   STAGE: connect helo mail rcpt data
                                          header eoh body eom, or
                                          "rcpt:<addr>" for one recipient
   "noreply": [STAGE, ...],               answers not given (NR flags)
   "skip": [STAGE, ...],                  stages not wanted (NO flags)
   "leadspace": true}                     header values with leading space
A STEP is a final answer ("continue", "accept", "reject", "tempfail",
"discard", "skip"), or a list: ["sleep", SECONDS], ["reply", CODE, XCODE,
LINE, ...], and at eom ["addheader", NAME, VALUE(, INDEX)], ["chgheader",
NAME, INDEX, VALUE or null], ["chgfrom", ADDR(, PARAMS)], ["addrcpt", ADDR(,
PARAMS)], ["delrcpt", ADDR], ["replacebody", TEXT], ["quarantine", REASON],
["progress", COUNT, SECONDS]. A stage without steps continues.

Raw MODEs: "silent" (never answers the negotiation), "negotiate:HEX" (answers
it with the bytes HEX), "garbage:STAGE:HEX" (answers continue until STAGE,
then sends HEX and nothing more), "close:STAGE" (closes the connection at
STAGE), "silent:STAGE" (never answers STAGE).

The record (--record) gets one JSON object per line: {"stage": ..., "args":
[...], "macros": {...}}; the connect line also holds the negotiated
"protocol" and "actions", the eom line the "headers" and "body" received.
"""

import argparse
import json
import os
import socket
import struct
import sys
import threading
import time

MACROS = ('j', '{daemon_name}', '{client_addr}', '{client_name}', '{if_addr}', 'i',
          '{mail_addr}', '{rcpt_addr}', '{auth_authen}')
STAGE_COMMANDS = {'connect': b'C', 'helo': b'H', 'mail': b'M', 'rcpt': b'R', 'data': b'T',
                  'header': b'L', 'eoh': b'N', 'body': b'B', 'eom': b'E'}
PY_CALLBACKS = {'connect': 'connect', 'helo': 'hello', 'mail': 'envfrom', 'rcpt': 'envrcpt',
                'data': 'data', 'header': 'header', 'eoh': 'eoh', 'body': 'body'}


class Recorder:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()

    def write(self, entry):
        if not self.path:
            return
        with self.lock, open(self.path, 'a', encoding='utf-8') as f:
            f.write(json.dumps(entry) + '\n')


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


# ---- the pymilter engine

def run_pymilter(listen, script, recorder):
    import Milter

    verdicts = {'continue': Milter.CONTINUE, 'accept': Milter.ACCEPT,
                'reject': Milter.REJECT, 'tempfail': Milter.TEMPFAIL,
                'discard': Milter.DISCARD, 'skip': Milter.SKIP}
    stages = script.get('stages', {})

    def macros(m):
        out = {}
        for name in MACROS:
            value = m.getsymval(name)
            if value is not None:
                out[name] = value
        return out

    def perform(m, key, steps):
        for step in steps:
            if isinstance(step, str):
                return verdicts[step]
            verb, args = step[0], step[1:]
            if verb == 'sleep':
                time.sleep(args[0])
            elif verb == 'reply':
                m.setreply(args[0], args[1], *args[2:])
                return Milter.TEMPFAIL if args[0].startswith('4') else Milter.REJECT
            elif verb == 'addheader':
                m.addheader(*args)
            elif verb == 'chgheader':
                m.chgheader(args[0], args[1], args[2])
            elif verb == 'chgfrom':
                m.chgfrom(*args)
            elif verb == 'addrcpt':
                m.addrcpt(*args)
            elif verb == 'delrcpt':
                m.delrcpt(args[0])
            elif verb == 'replacebody':
                m.replacebody(args[0].encode('latin-1'))
            elif verb == 'quarantine':
                m.quarantine(args[0])
            elif verb == 'progress':
                for _ in range(args[0]):
                    m.progress()
                    time.sleep(args[1])
            else:
                raise ValueError('unknown step ' + verb)
        return Milter.CONTINUE

    def callback(stage):
        def handler(self, *args):
            entry = {'stage': stage, 'args': [a if isinstance(a, str) else repr(a) for a in args],
                     'macros': macros(self)}
            if stage == 'connect':
                entry['protocol'] = self._protocol
                entry['actions'] = self._actions
            if stage == 'header':
                self.headers.append([args[0], args[1]])
            if stage == 'body':
                self.body_bytes += args[0]
                entry['args'] = [len(args[0])]
            recorder.write(entry)
            key = stage
            if stage == 'rcpt' and 'rcpt:' + args[0] in stages:
                key = 'rcpt:' + args[0]
            return perform(self, key, stages.get(key, []))
        handler.__name__ = PY_CALLBACKS[stage]
        return handler

    def init(self):
        Milter.Base.__init__(self)
        self.headers = []
        self.body_bytes = b''

    def eom(self):
        recorder.write({'stage': 'eom', 'macros': macros(self), 'headers': self.headers,
                        'body': self.body_bytes.decode('latin-1')})
        result = perform(self, 'eom', stages.get('eom', []))
        self.headers, self.body_bytes = [], b''
        return result

    def abort(self):
        recorder.write({'stage': 'abort'})
        self.headers, self.body_bytes = [], b''
        return Milter.CONTINUE

    def close(self):
        recorder.write({'stage': 'close'})
        return Milter.CONTINUE

    attrs = {'__init__': init, 'eom': eom, 'abort': abort, 'close': close}
    for stage, name in PY_CALLBACKS.items():
        if stage in script.get('skip', []):
            continue   # the base class's callback is marked as not wanted
        fn = callback(stage)
        if stage in script.get('noreply', []):
            fn = Milter.noreply(fn)
        attrs[name] = fn
    klass = type('ScriptFilter', (Milter.Base,), attrs)
    if script.get('leadspace'):
        klass = Milter.header_leading_space(klass)
    Milter.factory = klass

    import milter
    milter.set_connect_callback(Milter.connect_callback)
    milter.set_helo_callback(lambda ctx, host: ctx.getpriv().hello(host))
    milter.set_envfrom_callback(lambda ctx, *b: ctx.getpriv().envfrom_bytes(*b))
    milter.set_envrcpt_callback(lambda ctx, *b: ctx.getpriv().envrcpt_bytes(*b))
    milter.set_header_callback(lambda ctx, f, v: ctx.getpriv().header_bytes(f, v))
    milter.set_eoh_callback(lambda ctx: ctx.getpriv().eoh())
    milter.set_body_callback(lambda ctx, chunk: ctx.getpriv().body(chunk))
    milter.set_eom_callback(lambda ctx: ctx.getpriv().eom())
    milter.set_abort_callback(lambda ctx: ctx.getpriv().abort())
    milter.set_close_callback(Milter.close_callback)

    kind, _, where = listen.partition(':')
    if kind == 'unix':
        conn, spec = 'unix:' + where, 'unix:' + where
    else:
        host, _, port = where.rpartition(':')
        port = int(port) or free_port()
        conn, spec = 'inet:%d@%s' % (port, host), 'inet:%s:%d' % (host, port)
    milter.setconn(conn)
    milter.settimeout(600)
    milter.register('scriptfilter', data=lambda ctx: ctx.getpriv().data(),
                    unknown=lambda ctx, cmd: Milter.CONTINUE,
                    negotiate=Milter.negotiate_callback)
    milter.opensocket(True)
    print('READY ' + spec, flush=True)
    milter.main()


# ---- the raw engine

def read_packet(sock):
    head = b''
    while len(head) < 4:
        more = sock.recv(4 - len(head))
        if not more:
            return None, None
        head += more
    (length,) = struct.unpack('>I', head)
    data = b''
    while len(data) < length:
        more = sock.recv(length - len(data))
        if not more:
            return None, None
        data += more
    return data[:1], data[1:]


def packet(command, data=b''):
    return struct.pack('>I', len(data) + 1) + command + data


def serve_raw(sock, mode, recorder):
    what, _, rest = mode.partition(':')
    stage, _, hexbytes = rest.partition(':')
    command = STAGE_COMMANDS.get(stage)
    with sock:
        while True:
            cmd, data = read_packet(sock)
            if cmd is None:
                return
            recorder.write({'stage': 'raw', 'command': cmd.decode('latin-1')})
            if cmd == b'O':
                if what == 'silent' and not rest:
                    continue
                if what == 'negotiate':
                    sock.sendall(bytes.fromhex(rest))
                    continue
                sock.sendall(packet(b'O', struct.pack('>III', 6, 0x1FF, 0)))
                continue
            if cmd in (b'D', b'A'):
                continue
            if cmd == b'Q':
                return
            if cmd == command:
                if what == 'close':
                    return
                if what == 'garbage':
                    sock.sendall(bytes.fromhex(hexbytes))
                    command = None
                continue
            if command is None and what == 'garbage':
                continue   # after the garbage, silence
            sock.sendall(packet(b'c'))


def run_raw(listen, mode, recorder):
    kind, _, where = listen.partition(':')
    if kind == 'unix':
        server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        if os.path.exists(where):
            os.unlink(where)
        server.bind(where)
        spec = 'unix:' + where
    else:
        host, _, port = where.rpartition(':')
        server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        server.bind((host, int(port)))
        spec = 'inet:%s:%d' % (host, server.getsockname()[1])
    server.listen(16)
    print('READY ' + spec, flush=True)
    while True:
        conn, _ = server.accept()
        threading.Thread(target=serve_raw, args=(conn, mode, recorder), daemon=True).start()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--listen', default='inet:127.0.0.1:0')
    ap.add_argument('--script', default='{}')
    ap.add_argument('--record', default='')
    ap.add_argument('--raw', default='')
    args = ap.parse_args()
    recorder = Recorder(args.record)
    if args.raw:
        run_raw(args.listen, args.raw, recorder)
    else:
        run_pymilter(args.listen, json.loads(args.script), recorder)


if __name__ == '__main__':
    sys.exit(main())
