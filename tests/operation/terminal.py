#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Root operates an instance of daemon's from an interactive shell on a
terminal (a pseudo-terminal this test holds the other side of), as the
README shows, while daemon's processes try to type into that terminal.

The server program of the scratch installation is a probe of daemon's: at
each start, on SIGUSR1 (rotatelogs) and on SIGTERM (stopserv) it opens
/dev/tty and pushes a command into it with TIOCSTI, tries the same on every
terminal descriptor it holds and on those of the owner's process that
signalled it (through /proc/PID/fd), and notes its own controlling terminal
and descriptors, and the signalling process's. The command, were root's
shell to run it, would change a sentinel file of root's.

While the operation runs, the test stops the terminal's output (^S): the
first process to write to the terminal then waits, and the test looks at it
and at every process of daemon's. Whatever the kernel's
dev.tty.legacy_tiocsti allows, no process of daemon's may have a
controlling terminal (field tty_nr of /proc/PID/stat) or a descriptor on a
terminal, and the writer that waits must be root's, relaying. After the
operation, root's shell reads what was typed, and the sentinel must be
unchanged.

  terminal.py SCENARIO INSTALL_BINARY INSTANCECTL_BINARY SAMPLE_SERVER_ROOT SOURCE_DIR

SCENARIO: startserv, stopserv, restartserv, rotatelogs, remove (instancectl
remove --stop), ansible (the module's state: absent) or lighttpd (startserv
and stopserv of the sample's own stand-in server). Exit status 77 when not
run as root.
"""

import json
import os
import pty
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time
import fcntl

TIMEOUT = 120  # seconds for anything to happen; only a hang takes that long
DAEMON = 'daemon'
XOFF, XON = b'\x13', b'\x11'

PROBE = r'''#!/usr/bin/python3
# A server program of the owner's that types into every terminal it can reach.
import fcntl, json, os, signal, sys, termios

PAYLOAD = %(payload)r
config = sys.argv[sys.argv.index('-d') + 1]
instance = os.path.dirname(config)
report_file = os.path.join(%(reports)r, os.path.basename(instance) + '.report')


def tty_nr(pid):
    with open('/proc/%%d/stat' %% pid) as f:
        stat = f.read()
    return int(stat[stat.rindex(')') + 2:].split()[4])


def terminal_fds(pid):
    found = {}
    for fd in os.listdir('/proc/%%d/fd' %% pid):
        try:
            target = os.readlink('/proc/%%d/fd/%%s' %% (pid, fd))
        except OSError:
            continue
        if target.startswith('/dev/pts/') or target.startswith('/dev/tty') or target == '/dev/ptmx':
            found[fd] = target
    return found


def type_into(fd):
    try:
        for byte in PAYLOAD:
            fcntl.ioctl(fd, termios.TIOCSTI, bytes([byte]))
        return 'typed'
    except OSError as e:
        return e.strerror


def attack(where, sender=None):
    me = os.getpid()
    report = {'where': where, 'pid': me, 'tty_nr': tty_nr(me), 'terminal_fds': terminal_fds(me)}
    try:
        fd = os.open('/dev/tty', os.O_RDWR | os.O_NOCTTY)
        report['dev_tty'] = type_into(fd)
        os.close(fd)
    except OSError as e:
        report['dev_tty'] = e.strerror
    report['own_fds'] = dict((fd, type_into(int(fd))) for fd in report['terminal_fds'])
    if sender:
        try:
            report['sender'] = {'pid': sender, 'tty_nr': tty_nr(sender), 'terminal_fds': terminal_fds(sender)}
            for fd in report['sender']['terminal_fds']:
                opened = os.open('/proc/%%d/fd/%%s' %% (sender, fd), os.O_RDWR | os.O_NOCTTY)
                report['sender'][fd] = type_into(opened)
                os.close(opened)
        except OSError as e:
            report.setdefault('sender', {})['error'] = e.strerror
    with open(report_file, 'a') as out:
        out.write(json.dumps(report) + '\n')


attack('start')
ready_read, ready_write = os.pipe()
if os.fork() == 0:
    # A careless server: it keeps its session, its terminal if it has one,
    # and the descriptors it was given.
    os.close(ready_read)
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM, signal.SIGUSR1})
    # The lock every server of an instance holds while it runs.
    lock = os.open(os.path.join(instance, 'logs', 'server.lock'), os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW, 0o600)
    fcntl.flock(lock, fcntl.LOCK_EX)
    pid_file = os.path.join(instance, 'logs', 'pid')
    with open(pid_file + '.new', 'w') as out:
        out.write('%%d\n' %% os.getpid())
    os.rename(pid_file + '.new', pid_file)
    os.write(ready_write, b'x')
    os.close(ready_write)
    while True:
        info = signal.sigwaitinfo({signal.SIGTERM, signal.SIGUSR1})
        if info.si_signo == signal.SIGUSR1:
            attack('rotate', info.si_pid)
        else:
            attack('stop', info.si_pid)
            os._exit(0)
os.close(ready_write)
os.read(ready_read, 1)
print('the probe server of %%s runs' %% instance, flush=True)
'''


class Test:
    def __init__(self, scenario, install, instancectl, sample, source):
        self.scenario, self.install, self.instancectl, self.source = scenario, install, instancectl, source
        self.failures = []
        self.scratch = tempfile.mkdtemp(prefix='terminal-test.', dir='/tmp')
        os.chmod(self.scratch, 0o755)
        self.root = os.path.join(self.scratch, 'server-root')
        subprocess.run(['cp', '-a', sample, self.root], check=True)
        self.sentinel = os.path.join(self.scratch, 'sentinel')
        with open(self.sentinel, 'w') as out:
            out.write("root's own\n")
        os.chmod(self.sentinel, 0o600)
        self.sentinel_before = self.sentinel_state()
        payload = ('echo pwned >> %s\n' % self.sentinel).encode()
        self.daemon_uid = int(subprocess.run(['id', '-u', DAEMON], capture_output=True, text=True).stdout)
        # daemon's own place, where the probe says what it saw.
        self.report_dir = os.path.join(self.scratch, 'reports')
        os.mkdir(self.report_dir)
        os.chown(self.report_dir, self.daemon_uid, -1)
        if scenario != 'lighttpd':
            server = os.path.join(self.root, 'bin/https/bin/appservd-wdog')
            with open(server, 'w') as out:
                out.write(PROBE % {'payload': payload, 'reports': self.report_dir})
            os.chmod(server, 0o755)

    # --- bookkeeping --------------------------------------------------------
    def check(self, what, ok, detail=''):
        print(('ok - ' if ok else 'FAILED - ') + what + ('' if ok or not detail else ': ' + str(detail)),
              file=sys.stdout if ok else sys.stderr, flush=True)
        if not ok:
            self.failures.append(what)

    def sentinel_state(self):
        st = os.lstat(self.sentinel)
        with open(self.sentinel, 'rb') as f:
            return (st.st_mode, st.st_uid, st.st_size, st.st_mtime_ns, f.read())

    def cleanup(self):
        for pid in all_pids():
            try:
                with open('/proc/%d/cmdline' % pid, 'rb') as f:
                    if (self.scratch + '/').encode() in f.read() and pid != os.getpid():
                        os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        shutil.rmtree(self.scratch, ignore_errors=True)

    # --- instances ----------------------------------------------------------
    def create(self, name):
        port, jms = free_ports(self.install, 2)
        env = {'PATH': '/usr/bin:/bin', 'LANG': 'C', 'ZORA_SERVER_HOME': self.root, 'INSTALL_CHECK_PORTS': 'no'}
        run = subprocess.run([self.install, '-s', 'www.example.test', '-p', str(port), '-i', name, '-u', DAEMON,
                              '-d', os.path.join(self.scratch, 'docs-' + name), '-P', str(jms), '-A', 'admin',
                              '-W', 'secret', '-J', '/usr/lib/jvm/java'], env=env, capture_output=True, text=True)
        if run.returncode != 0:
            raise SystemExit('creating %s: %s' % (name, run.stderr))
        return os.path.join(self.root, name)

    def start_detached(self, instance):
        """The server started without any terminal, so that only the
        operation under test can lend it one."""
        # Into a file: the server may keep what it was given open as long as it runs.
        with tempfile.TemporaryFile(dir=self.scratch) as said:
            run = subprocess.run([instance + '/bin/startserv', '-a', '127.0.0.1'], stdin=subprocess.DEVNULL,
                                 stdout=said, stderr=said, start_new_session=True, timeout=TIMEOUT)
            if run.returncode != 0:
                said.seek(0)
                raise SystemExit('starting %s: %s' % (instance, said.read().decode('utf-8', 'replace')))

    def reports(self, instance):
        try:
            with open(os.path.join(self.report_dir, os.path.basename(instance) + '.report')) as f:
                text = f.read()
        except OSError:
            return []
        # A line still being written has no line end yet.
        return [json.loads(line) for line in text.split('\n')[:-1]]

    # --- what no process of daemon's may have -------------------------------
    def owner_processes_have_no_terminal(self, when):
        seen = []
        for pid in all_pids():
            if process_uid(pid) != self.daemon_uid:
                continue
            tty, fds = process_tty(pid), terminal_fds(pid)
            if tty is not None and (tty != 0 or fds):
                seen.append({'pid': pid, 'cmdline': command_line(pid), 'tty_nr': tty, 'terminal_fds': fds})
        self.check('%s: no process of daemon\'s has a controlling terminal or a terminal descriptor' % when,
                   not seen, seen)

    def probe_reports_nothing_typed(self, instance, wanted):
        # rotatelogs does not wait for the server to act on its signal.
        try:
            wait_for(lambda: all(w in [r['where'] for r in self.reports(instance)] for w in wanted),
                     'the probe\'s reports')
        except SystemExit:
            pass
        reports = self.reports(instance)
        found = [r['where'] for r in reports]
        for where in wanted:
            self.check('the probe server ran its attack at %s' % where, where in found, found)
        for report in reports:
            where = 'the probe at %s' % report['where']
            self.check(where + ': no controlling terminal', report['tty_nr'] == 0, report)
            self.check(where + ': no terminal descriptor', not report['terminal_fds'], report)
            self.check(where + ': /dev/tty cannot be opened', report['dev_tty'] != 'typed', report)
            sender = report.get('sender', {})
            if 'tty_nr' in sender:
                self.check(where + ': the script that signalled it has no controlling terminal',
                           sender['tty_nr'] == 0, sender)
                self.check(where + ': ... and no terminal descriptor', not sender['terminal_fds'], sender)
            elif report['where'] == 'stop':
                self.check(where + ': stopserv, which waits for the server, was there to look at', False, sender)

    # --- root's shell -------------------------------------------------------
    def operate(self, command, expect_status, expect_output, stop_output=True, environment=None):
        """Root's interactive shell runs `command` on the terminal; returns its output."""
        master, slave = pty.openpty()
        slave_name = os.ttyname(slave)
        env = {'PATH': '/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin', 'HOME': self.scratch,
               'LANG': 'C', 'PS1': '$ ', 'TERM': 'dumb'}
        env.update(environment or {})
        shell = subprocess.Popen(['/bin/sh', '-i'], stdin=slave, stdout=slave, stderr=slave, env=env,
                                 cwd=self.scratch, preexec_fn=take_terminal, close_fds=True)
        os.close(slave)
        screen = Screen(master)
        screen.wait_for(re.compile(rb'\$ $'), 'the prompt')
        if stop_output:
            os.write(master, XOFF)
        os.write(master, command.encode() + b'; echo "STATUS-$?-END"\n')
        if stop_output:
            writer = wait_for(lambda: writer_blocked_on(slave_name), 'a process writing to the stopped terminal')
            self.check('the process that writes to root\'s terminal is root\'s (relaying the owner\'s output)',
                       process_uid(writer) == 0, '%d: %s (uid %s)' % (writer, command_line(writer), process_uid(writer)))
            self.owner_processes_have_no_terminal('while root\'s terminal is stopped')
            os.write(master, XON)
        status = int(screen.wait_for(re.compile(rb'STATUS-(\d+)-END'), 'the end of the command').group(1))
        # Root's shell now reads whatever was typed into the terminal meanwhile.
        os.write(master, b'echo "AFTER-$((6 * 7))"\n')
        screen.wait_for(re.compile(rb'AFTER-42'), 'the shell after the command')
        os.write(master, b'exit\n')
        shell.wait(timeout=TIMEOUT)
        screen.drain()
        os.close(master)
        text = screen.text.decode('utf-8', 'replace')
        self.check('%s: exit status %d' % (command, expect_status), status == expect_status, text)
        for line in expect_output:
            self.check('%s: prints %s' % (command, line), line in text, text)
        self.check('root\'s sentinel is unchanged (nothing typed into root\'s shell ran)',
                   self.sentinel_state() == self.sentinel_before, text)
        return text

    # --- the scenarios ------------------------------------------------------
    def startserv(self):
        instance = self.create('start')
        self.operate(instance + '/bin/startserv', 0, ['the probe server of %s runs' % instance])
        self.owner_processes_have_no_terminal('after startserv')
        self.probe_reports_nothing_typed(instance, ['start'])

    def stopserv(self):
        instance = self.create('stop')
        self.start_detached(instance)
        self.operate(instance + '/bin/stopserv', 0, ['has stopped'])
        self.probe_reports_nothing_typed(instance, ['start', 'stop'])

    def restartserv(self):
        instance = self.create('restart')
        self.start_detached(instance)
        self.operate(instance + '/bin/restartserv', 0, ['has stopped', 'the probe server of %s runs' % instance])
        self.owner_processes_have_no_terminal('after restartserv')
        self.probe_reports_nothing_typed(instance, ['start', 'stop'])

    def rotatelogs(self):
        instance = self.create('rotate')
        self.start_detached(instance)
        as_daemon(['sh', '-c', 'echo old >"$1"', 'sh', instance + '/logs/access'])
        self.operate(instance + '/bin/rotatelogs', 0, [instance + '/logs/access -> access.'])
        self.owner_processes_have_no_terminal('after rotatelogs')
        self.probe_reports_nothing_typed(instance, ['start', 'rotate'])

    def remove(self):
        instance = self.create('remove')
        self.start_detached(instance)
        self.operate('%s --server-root %s remove remove --stop' % (self.instancectl, self.root), 0,
                     ['has stopped', 'Removed the instance remove'])
        self.check('instancectl remove --stop removed the instance', not os.path.exists(instance))
        self.probe_reports_nothing_typed(instance, ['start', 'stop'])

    def ansible(self):
        instance = self.create('absent')
        self.start_detached(instance)
        inventory = os.path.join(self.scratch, 'hosts')
        with open(inventory, 'w') as out:
            out.write('[servers]\nh1 server_root=%s instance_id=absent\n[servers:vars]\n'
                      'ansible_connection=local\nansible_python_interpreter=/usr/bin/python3\ntool=%s\n'
                      % (self.root, self.install))
        environment = {'ANSIBLE_CONFIG': os.path.join(self.source, 'tests/ansible/ansible.cfg'),
                       'ANSIBLE_LOCAL_TEMP': self.scratch + '/ansible-local',
                       'ANSIBLE_REMOTE_TEMP': self.scratch + '/ansible-remote',
                       'ANSIBLE_HOME': self.scratch + '/ansible-home', 'ANSIBLE_NOCOLOR': '1',
                       'LC_ALL': 'C.UTF-8'}
        # ansible-playbook writes to the terminal itself: its output is not stopped.
        self.operate('ansible-playbook -i %s %s' % (inventory, os.path.join(self.source, 'tests/ansible/remove.yml')),
                     0, ['changed=1'], stop_output=False, environment=environment)
        self.check('the module removed the instance', not os.path.exists(instance))
        self.probe_reports_nothing_typed(instance, ['start', 'stop'])

    def lighttpd(self):
        instance = self.create('lighttpd')
        self.operate(instance + '/bin/startserv -a 127.0.0.1', 0, ['listens on 127.0.0.1'])
        self.owner_processes_have_no_terminal('after startserv')
        server = read_pid(instance + '/logs/pid')
        self.check('lighttpd runs as daemon', server and process_uid(server) == self.daemon_uid, server)
        if server:
            standard = [target_of(server, fd) for fd in (0, 1, 2)]
            self.check('lighttpd keeps neither a terminal nor a pipe of the start as its standard descriptors',
                       all(t and not t.startswith('pipe:') and not t.startswith('/dev/pts') for t in standard),
                       standard)
        self.operate(instance + '/bin/stopserv', 0, ['has stopped'])


class Screen:
    """What root's terminal shows, read as it comes."""

    def __init__(self, master):
        self.master, self.text = master, b''

    def read_some(self, timeout):
        ready, _, _ = select.select([self.master], [], [], timeout)
        if not ready:
            return False
        try:
            chunk = os.read(self.master, 65536)
        except OSError:
            return False
        self.text += chunk
        return bool(chunk)

    def wait_for(self, pattern, what):
        deadline = time.monotonic() + TIMEOUT
        while True:
            found = pattern.search(self.text)
            if found:
                return found
            if time.monotonic() > deadline:
                raise SystemExit('timed out waiting for %s; the terminal shows:\n%s' % (what, self.text.decode(
                    'utf-8', 'replace')))
            self.read_some(1)

    def drain(self):
        while self.read_some(0.1):
            pass


def take_terminal():
    os.setsid()
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


def wait_for(probe, what):
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        found = probe()
        if found:
            return found
        time.sleep(0.02)
    raise SystemExit('timed out waiting for ' + what)


def all_pids():
    return [int(name) for name in os.listdir('/proc') if name.isdigit()]


def process_uid(pid):
    try:
        with open('/proc/%d/status' % pid) as f:
            for line in f:
                if line.startswith('Uid:'):
                    return int(line.split()[1])
    except OSError:
        return None


def process_tty(pid):
    try:
        with open('/proc/%d/stat' % pid) as f:
            stat = f.read()
        return int(stat[stat.rindex(')') + 2:].split()[4])
    except (OSError, ValueError, IndexError):
        return None


def target_of(pid, fd):
    try:
        return os.readlink('/proc/%d/fd/%s' % (pid, fd))
    except OSError:
        return None


def terminal_fds(pid):
    try:
        fds = os.listdir('/proc/%d/fd' % pid)
    except OSError:
        return {}
    found = {}
    for fd in fds:
        target = target_of(pid, fd)
        if target and (target.startswith('/dev/pts/') or target.startswith('/dev/tty') or target == '/dev/ptmx'):
            found[fd] = target
    return found


def command_line(pid):
    try:
        with open('/proc/%d/cmdline' % pid, 'rb') as f:
            return f.read().replace(b'\0', b' ').decode('utf-8', 'replace').strip()
    except OSError:
        return '?'


def writer_blocked_on(slave_name):
    """A process that waits in write(2) or writev(2) on the terminal `slave_name`."""
    for pid in all_pids():
        try:
            with open('/proc/%d/syscall' % pid) as f:
                call = f.read().split()
        except OSError:
            continue
        if len(call) > 1 and call[0] in ('1', '20') and target_of(pid, int(call[1], 16)) == slave_name:
            return pid
    return None


def read_pid(path):
    try:
        with open(path) as f:
            return int(f.read().strip())
    except (OSError, ValueError):
        return None


def free_ports(install, count):
    """Ports of this test alone, leased from the registry every test of the run shares."""
    lease = os.path.join(os.path.dirname(os.path.abspath(install)), 'tests', 'test-port')
    return [int(port) for port in subprocess.run([lease, str(count)], check=True, capture_output=True,
                                                  text=True).stdout.split()]


def as_daemon(command):
    subprocess.run(['setpriv', '--reuid=' + DAEMON, '--regid=' + DAEMON, '--init-groups', '--'] + command,
                   check=True, stdin=subprocess.DEVNULL)


def main():
    if len(sys.argv) != 6:
        raise SystemExit(__doc__)
    if os.geteuid() != 0:
        print('SKIPPED: root operates the instances here', file=sys.stderr)
        return 77
    test = Test(sys.argv[1], *(os.path.abspath(path) for path in sys.argv[2:]))
    try:
        getattr(test, test.scenario)()
    finally:
        test.cleanup()
    if test.failures:
        print('%d check(s) failed' % len(test.failures), file=sys.stderr)
        return 1
    print('all checks passed')
    return 0


if __name__ == '__main__':
    sys.exit(main())
