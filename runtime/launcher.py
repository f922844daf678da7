#!@INTERPRETER@ -IB
"""calibre's ebook-convert, run from the folder that holds this file.

Everything the converter needs sits beside this launcher: pylib.zip (calibre's Python modules
as bytecode), plugins/ (its native modules) and resources/. The interpreter runs isolated (-I:
no PYTHON* variables, no user site-packages, not this folder on the module path) and writes no
bytecode (-B).

When this folder's warm converter (warm-converter, listening on warm.sock here) answers at once,
the conversion runs in a child it forks from its already imported calibre: the launcher hands
over its command line, current folder, environment and standard streams, passes on the signals
it gets, and ends as that child ended. Otherwise the launcher converts here, cold.
"""

import gc
import os
import sys

# No cyclic garbage collection while calibre's modules are imported: the carried Plumber.run
# turns it on before the conversion (see build_runtime.py).
gc.disable()
sys.gc_off_for_startup = True
base = os.path.dirname(os.path.realpath(os.path.abspath(__file__)))


def hand_over(folder):
    """Runs the conversion in a warm child and ends as it ended; returns when there is no warm
    converter, it declines or does not answer at once, or it ended before the child did."""
    import _signal
    import _socket
    import marshal

    try:
        for fd in (0, 1, 2):
            os.fstat(fd)
    except OSError:
        return  # a closed standard stream cannot be handed over
    path = os.path.join(folder, "warm.sock")
    opened = []
    sock = _socket.socket(_socket.AF_UNIX, _socket.SOCK_STREAM)
    forwarded = (_signal.SIGTERM, _signal.SIGINT, _signal.SIGHUP, _signal.SIGQUIT)
    received = []
    answer = b""
    try:
        if len(os.fsencode(path)) > 100:  # longer than a socket address holds
            opened.append(os.open(folder, os.O_PATH | os.O_DIRECTORY | os.O_CLOEXEC))
            path = f"/proc/self/fd/{opened[-1]}/warm.sock"
        sock.settimeout(2.0)
        sock.connect(path)
        creds = sock.getsockopt(_socket.SOL_SOCKET, _socket.SO_PEERCRED, 12)
        if int.from_bytes(creds[4:8], sys.byteorder) != os.getuid():
            return
        server = int.from_bytes(creds[0:4], sys.byteorder)
        opened.append(os.open(".", os.O_PATH | os.O_DIRECTORY | os.O_CLOEXEC))
        umask = os.umask(0o022)
        os.umask(umask)
        request = marshal.dumps((1, [os.fsencode(a) for a in sys.argv], os.fsencode(__file__),
                                 dict(os.environb), umask,
                                 os.getpriority(os.PRIO_PROCESS, 0)))
        sock.sendall(len(request).to_bytes(4, "little") + request)
        if sock.recv(1) != b"R":
            return  # declined: this conversion differs from what the warm converter prepared

        def forward(signum, frame):
            received.append(signum)
            try:
                sock.send(bytes((signum,)))
            except OSError:
                pass

        for signum in forwarded:
            _signal.signal(signum, forward)
        # The streams go only to a warm converter that answered: one that does not would
        # hold them open (and a reader of this launcher's output waiting) until it went.
        fds = b"".join(fd.to_bytes(4, sys.byteorder) for fd in (0, 1, 2, opened[-1]))
        sock.sendmsg([b"G"], [(_socket.SOL_SOCKET, _socket.SCM_RIGHTS, fds)])
        # The answer comes when the conversion ends; a warm converter that has gone without
        # closing the connection (its socket held elsewhere) is noticed within a
        # few seconds, and the book converts cold.
        sock.settimeout(5.0)
        while len(answer) < 5:
            try:
                more = sock.recv(5 - len(answer))
            except TimeoutError:
                try:
                    os.kill(server, 0)
                    with open(f"/proc/{server}/stat", "rb") as f:
                        if f.read().rsplit(b")", 1)[1].split()[0] in (b"Z", b"X"):
                            break
                except OSError:
                    break
                continue
            if not more:
                break
            answer += more
    except OSError:
        pass
    finally:
        for signum in forwarded:
            _signal.signal(signum, _signal.default_int_handler if signum == _signal.SIGINT
                           else _signal.SIG_DFL)
        sock.close()
        for fd in opened:
            os.close(fd)
    if len(answer) < 5 or answer[0:1] != b"S":
        if received:  # told to end while handing over: end, as a cold launcher would have
            os.kill(os.getpid(), received[0])
        return  # the warm converter could not convert or ended in the middle: convert, cold
    status = int.from_bytes(answer[1:], "little")
    if os.WIFSIGNALED(status):
        signum = os.WTERMSIG(status)
        try:
            _signal.signal(signum, _signal.SIG_DFL)
        except (OSError, ValueError):
            pass
        os.kill(os.getpid(), signum)
        os._exit(128 + signum)
    os._exit(os.WEXITSTATUS(status))


if not globals().get("_warm_child"):
    hand_over(base)

sys.path.insert(0, os.path.join(base, 'pylib.zip'))
sys.resources_location = os.path.join(base, 'resources')
sys.extensions_location = os.path.join(base, 'plugins')
sys.executables_location = base
sys.system_plugins_location = None

from @ENTRY_MODULE@ import @ENTRY_FUNCTION@
sys.exit(@ENTRY_FUNCTION@())
