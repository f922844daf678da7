#!@INTERPRETER@ -IB
"""The warm converter: calibre's conversion modules imported once, one forked child per book.

Started from the unpacked runtime (this file sits beside ebook-convert), it imports the modules
conversions use, then listens on warm.sock in this folder (reachable by this user only). For
every launcher that connects it forks a supervisor, which reads the launcher's command line,
folder, environment and standard streams, and forks the conversion child: that child takes the
launcher's streams, folder, environment, umask and priority and runs the launcher's own code
exactly as the launcher would have, cold. The supervisor passes on the signals the launcher
gets, ends the child's process group when the launcher goes away, and sends the child's exit
status back. No thread and no Qt application object exists before a fork.

A launcher whose environment differs in something the imports read (the locale, HOME, TMPDIR,
calibre's own variables, ...) is declined and converts cold. The warm converter ends on SIGTERM,
SIGINT or SIGHUP, when its parent ends or when its socket is removed, taking the conversions it
runs with it; the launchers of those convert again, cold.

Usage: warm-converter        (it takes no arguments; it logs to its standard error)
"""

import os
import sys

WARM_MODULES = @WARM_MODULES@
SOCKET_NAME = "warm.sock"
ANSWER_SECONDS = 2.0
# Variables the interpreter or libraries read behind os.environ's back at start-up.
ALWAYS_COMPARED = (b"LANG", b"LANGUAGE", b"TZ", b"LC_", b"QT_", b"CALIBRE_")

base = os.path.dirname(os.path.realpath(os.path.abspath(__file__)))
launcher = os.path.join(base, "ebook-convert")
server_pid = os.getpid()
started_env = dict(os.environb)  # the environment the imports saw


def log(message):
    try:
        sys.stderr.write(f"warm-converter[{os.getpid()}]: {message}\n")
        sys.stderr.flush()
    except (OSError, ValueError):
        pass  # nobody reads the log any more; the conversions go on


class RecordingEnviron(dict):
    """Stands in for os.environ while modules are imported, noting every variable read."""

    def __init__(self, real):
        super().__init__(real)
        self.read = set()

    def __getitem__(self, key):
        self.read.add(key)
        return super().__getitem__(key)

    def __contains__(self, key):
        self.read.add(key)
        return super().__contains__(key)

    def get(self, key, default=None):
        self.read.add(key)
        return super().get(key, default)


def warm_up():
    """Imports the conversion modules; gives the names of the variables they read."""
    sys.path.insert(0, os.path.join(base, "pylib.zip"))
    sys.resources_location = os.path.join(base, "resources")
    sys.extensions_location = os.path.join(base, "plugins")
    sys.executables_location = base
    sys.system_plugins_location = None
    import importlib
    real = os.environ
    recording = RecordingEnviron(real)
    os.environ = recording
    try:
        for name in WARM_MODULES:
            try:
                importlib.import_module(name)
            except Exception as e:  # a module a conversion may never need: leave it
                log(f"not imported: {name}: {e!r}")
    finally:
        os.environ = real
    # What the imports set or removed, a conversion child sets or removes again.
    changes = {}
    for key in set(recording) | set(real):
        if dict.get(recording, key) != real.get(key):
            changes[os.fsencode(key)] = (None if key not in recording
                                         else os.fsencode(dict.__getitem__(recording, key)))
            if key in recording:
                real[key] = dict.__getitem__(recording, key)
            else:
                del real[key]

    import atexit
    import shutil
    import tempfile
    import calibre.constants
    import calibre.ptempfile as ptempfile
    if os.path.basename(calibre.constants.config_dir).startswith("calibre-config-"):
        raise SystemExit("warm-converter: calibre's configuration folder is not writable; "
                         "every conversion would share one temporary folder")
    # Each conversion makes and removes its own temporary folder, as a cold one does.
    if ptempfile._base_dir:
        shutil.rmtree(ptempfile._base_dir, ignore_errors=True)
    atexit.unregister(ptempfile.remove_dir)
    ptempfile._base_dir = None
    tempfile.tempdir = None
    sys.path.remove(os.path.join(base, "pylib.zip"))

    import threading
    if threading.active_count() != 1:
        raise SystemExit("warm-converter: the imports started threads; forking is unsafe")
    import gc
    gc.collect()
    gc.freeze()  # the children share these objects' pages instead of copying them
    return {os.fsencode(k) for k in recording.read}, changes


def compared(key, read):
    return key in read or key.startswith(ALWAYS_COMPARED)


def differing(env, read):
    """The first variable the imports depend on that env has otherwise, or None."""
    mine = started_env
    for key in set(env) | set(mine):
        if compared(key, read) and env.get(key) != mine.get(key):
            return key
    return None


def set_death_signal(signum):
    import ctypes
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signum, 0, 0, 0)  # PR_SET_PDEATHSIG


def receive_request(conn):
    import marshal
    head = receive_exactly(conn, 4)
    version, argv, file, env, umask, niceness = marshal.loads(
        receive_exactly(conn, int.from_bytes(head, "little")))
    if version != 1:
        raise OSError(f"a request of version {version}")
    return argv, file, env, umask, niceness


def receive_exactly(conn, length):
    data = b""
    while len(data) < length:
        more = conn.recv(min(length - len(data), 1 << 20))
        if not more:
            raise OSError("the launcher went away in its request")
        data += more
    return data


def receive_go(conn):
    """The launcher's go-ahead with its standard streams and current folder, or None."""
    import socket
    go, ancdata, _, _ = conn.recvmsg(1, socket.CMSG_SPACE(4 * 4))
    fds = []
    for level, kind, data in ancdata:
        if level == socket.SOL_SOCKET and kind == socket.SCM_RIGHTS:
            fds += [int.from_bytes(data[i:i + 4], sys.byteorder)
                    for i in range(0, len(data) - len(data) % 4, 4)]
    if go == b"G" and len(fds) == 4:
        return fds
    for fd in fds:
        os.close(fd)
    return None


def supervise(conn, listener, read, changes):
    """One launcher's conversion: a forked supervisor of the forked conversion child."""
    import select
    import signal
    import socket
    listener.close()
    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, signal.SIG_DFL)
    set_death_signal(signal.SIGKILL)
    if os.getppid() != server_pid:
        os._exit(0)
    creds = conn.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, 12)
    if int.from_bytes(creds[4:8], sys.byteorder) != os.getuid():
        os._exit(0)
    launcher_pid = int.from_bytes(creds[0:4], sys.byteorder)
    conn.settimeout(ANSWER_SECONDS)
    try:
        argv, file, env, umask, niceness = receive_request(conn)
        key = differing(env, read)
        if key is not None or niceness < os.getpriority(os.PRIO_PROCESS, 0):
            why = f"{os.fsdecode(key)} differs" if key else "a higher priority"
            log(f"declined ({why}): {argv!r}")
            conn.sendall(b"N")
            os._exit(0)
        conn.sendall(b"R")
        fds = receive_go(conn)
        if fds is None:
            os._exit(0)
    except OSError as e:
        log(f"no conversion: {e}")
        os._exit(0)
    sys.stdout.flush()
    sys.stderr.flush()
    # The child says on this pipe that it has become the launcher; one that fails before
    # (it could not take the launcher's folder or priority) leaves the book to a cold launcher.
    became, becoming = os.pipe()
    supervisor = os.getpid()
    child = os.fork()
    if child == 0:
        try:
            conn.close()
            os.close(became)
            convert(argv, file, env, umask, niceness, fds, changes, becoming, supervisor,
                    launcher_pid)
        finally:
            os._exit(70)
    os.close(becoming)
    try:
        os.setpgid(child, child)
    except OSError:
        pass  # the child did it first
    for fd in fds:
        os.close(fd)
    log(f"converting in {child}: {[os.fsdecode(a) for a in argv[1:]]!r}")
    conn.settimeout(None)
    poller = select.poll()
    pidfd = os.pidfd_open(child)
    poller.register(conn.fileno(), select.POLLIN)
    poller.register(pidfd, select.POLLIN)
    launcher_gone = False
    while True:
        for fd, _ in poller.poll():
            if fd == pidfd:
                _, status = os.waitpid(child, 0)
                converted = os.read(became, 1) == b"1"
                if not converted:
                    log(f"{child} could not take the launcher's place: the launcher converts")
                try:
                    conn.sendall((b"S" if converted else b"C") + status.to_bytes(4, "little"))
                except OSError:
                    pass
                os._exit(0)
            try:
                data = conn.recv(64)
            except OSError:
                data = b""
            if not data:
                if not launcher_gone:
                    launcher_gone = True
                    poller.unregister(conn.fileno())
                    log(f"the launcher went away: ending {child}")
                    os.killpg(child, signal.SIGKILL)
            for signum in data:
                if 0 < signum < signal.NSIG:
                    try:
                        os.killpg(child, signum)
                    except OSError:
                        pass


def unified_cgroup(pid):
    """The cgroup v2 folder of a process, or None on a system without one."""
    with open(f"/proc/{pid}/cgroup") as f:
        path = next((line[3:].strip() for line in f if line.startswith("0::")), None)
    if path is None:
        return None
    with open("/proc/self/mounts") as f:
        mount = next((fields[1] for fields in (line.split() for line in f)
                      if len(fields) > 2 and fields[2] == "cgroup2"), None)
    return None if mount is None else mount + path


def take_memory_limit(launcher_pid):
    """Takes the launcher's memory limit, which the program set for this book: its address space
    limit, and the cgroup (a scope holding a resident memory limit) it was started in."""
    import resource
    try:
        limit = resource.prlimit(launcher_pid, resource.RLIMIT_AS)
        if limit[0] != resource.RLIM_INFINITY:
            resource.setrlimit(resource.RLIMIT_AS, limit)
        theirs = unified_cgroup(launcher_pid)
        if theirs is not None and theirs != unified_cgroup("self"):
            with open(os.path.join(theirs, "cgroup.procs"), "w") as f:
                f.write(str(os.getpid()))
    except (OSError, ValueError) as e:
        log(f"the launcher's memory limit could not be taken: {e}")
        return False
    return True


def convert(argv, file, env, umask, niceness, fds, changes, becoming, supervisor, launcher_pid):
    """The conversion child: becomes the launcher as it would have run, cold."""
    import atexit
    import builtins
    import signal
    import types
    os.setpgid(0, 0)
    set_death_signal(signal.SIGKILL)
    if os.getppid() != supervisor:  # it ended before the death signal was set
        os._exit(70)
    if not take_memory_limit(launcher_pid):
        os._exit(70)  # without the limit the book converts cold, under it
    for target, fd in enumerate(fds[:3]):
        os.dup2(fd, target)
    os.fchdir(fds[3])
    for fd in fds:
        if fd > 2:
            os.close(fd)
    os.umask(umask)
    if niceness != os.getpriority(os.PRIO_PROCESS, 0):
        os.setpriority(os.PRIO_PROCESS, 0, niceness)
    os.environb.clear()
    os.environb.update(env)
    for key, value in changes.items():
        if value is None:
            os.environb.pop(key, None)
        else:
            os.environb[key] = value
    sys.argv[:] = [os.fsdecode(a) for a in argv]
    signal.signal(signal.SIGINT, signal.default_int_handler)
    for signum in (signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGCHLD):
        signal.signal(signum, signal.SIG_DFL)
    sys.stdout.reconfigure(line_buffering=os.isatty(1))
    name = os.fsdecode(file)
    with open(launcher, "rb") as f:
        code = compile(f.read(), name, "exec", dont_inherit=True)
    os.write(becoming, b"1")
    os.close(becoming)

    main = types.ModuleType("__main__")
    main.__file__ = name
    main.__builtins__ = builtins
    main._warm_child = True
    sys.modules["__main__"] = main

    # What the interpreter does with the script's end, as at the end of a cold run.
    status, interrupted = 0, False
    try:
        exec(code, main.__dict__)
    except SystemExit as e:
        if e.code is None:
            status = 0
        elif isinstance(e.code, int):
            status = e.code
        else:
            try:
                print(e.code, file=sys.stderr)
            except Exception:
                pass
            status = 1
    except BaseException as e:
        interrupted = isinstance(e, KeyboardInterrupt)
        e.__traceback__ = e.__traceback__.tb_next  # from the launcher's frame on, as cold
        sys.excepthook(type(e), e, e.__traceback__)
        status = 1
    if "threading" in sys.modules:
        sys.modules["threading"]._shutdown()
    atexit._run_exitfuncs()
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except Exception:
            status = 120
    if interrupted:
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGINT)
    os._exit(status & 0xFF)


def serve(read, changes):
    import signal
    import socket
    path = os.path.join(base, SOCKET_NAME)
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    address = path
    if len(os.fsencode(path)) > 100:
        folder = os.open(base, os.O_PATH | os.O_DIRECTORY | os.O_CLOEXEC)
        address = f"/proc/self/fd/{folder}/{SOCKET_NAME}"
    if os.path.lexists(path):
        probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            probe.connect(address)
            raise SystemExit(f"warm-converter: another warm converter serves {base}")
        except OSError:
            os.unlink(path)  # left by one that was killed
        finally:
            probe.close()
    old = os.umask(0o177)
    try:
        listener.bind(address)
    finally:
        os.umask(old)
    listener.listen(64)
    ours = os.stat(path).st_ino
    parent = os.getppid()

    def stop(signum, frame):
        raise SystemExit(0)

    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, stop)
    log(f"ready: {path}")
    listener.settimeout(1.0)
    try:
        while True:
            try:
                conn, _ = listener.accept()
            except TimeoutError:
                conn = None
            while True:
                try:
                    pid, _ = os.waitpid(-1, os.WNOHANG)
                except ChildProcessError:
                    break
                if pid == 0:
                    break
            if conn is None:
                try:
                    present = os.stat(path).st_ino == ours
                except OSError:
                    present = False
                if not present or os.getppid() != parent:
                    log("the socket is gone or the program ended: stopping")
                    return
                continue
            sys.stdout.flush()
            sys.stderr.flush()
            try:
                pid = os.fork()
            except OSError as e:
                log(f"cannot fork: {e}")
                conn.close()
                continue
            if pid == 0:
                try:
                    supervise(conn, listener, read, changes)
                finally:
                    os._exit(70)
            conn.close()
    finally:
        try:
            if os.stat(path).st_ino == ours:
                os.unlink(path)
        except OSError:
            pass
        log("stopped")


def main():
    if len(sys.argv) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    read, changes = warm_up()
    try:
        serve(read, changes)
    except SystemExit as e:
        if e.code not in (0, None):
            raise  # it could not serve: the message goes to the log
    # Nothing it imported needs finishing, and the interpreter's own tear-down of calibre's
    # modules takes a fifth of a second, which the program would wait for at the end of a run.
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):
            pass
    os._exit(0)


if __name__ == "__main__":
    sys.exit(main())
