#!/usr/bin/python
# -*- coding: utf-8 -*-

# Copyright: (c) 2026, Instance Install Maintainers
# GNU General Public License v3.0+ (see LICENSE or https://www.gnu.org/licenses/gpl-3.0.txt)
# SPDX-License-Identifier: GPL-3.0-or-later
#
# Creates or removes one application server instance on the managed host by
# running the instance-creation tool, or instancectl, there. The programs do
# every check and all the work; this module decides whether a run is needed,
# hands the JMS password to the tool on standard input and reports the
# programs' own messages.

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: server_instance
short_description: Create, operate or remove an application server instance with the instance-creation tools
description:
  - Creates the instance I(id) under a server root by running the instance-creation
    tool (C(install)) on the managed host, with a clean environment that holds only
    C(ZORA_SERVER_HOME), C(PATH) and C(LANG=C).
  - The JMS administrator's password is handed to the tool on its standard input
    (C(-w -)); it is never on a command line, in the environment or in the module's output.
  - Idempotent. When C(<server_root>/<id>) already exists, the module reads back what
    the instance has through C(instancectl list --json); the server name and the ports as
    its C(config/server.xml) gives them now (the administrator may have changed them since
    the creation), the other answers as the tool recorded them in its C(config/answers.conf),
    which also serves for the server name and the ports where C(config/server.xml) cannot be
    read. C(instancectl) reads both files only as it is safe to (one name, a regular file, no
    link, bounded, without blocking). The module compares them with the requested ones (I(id), I(server_name),
    I(port), I(jms_port), I(docroot), I(java_home), I(jms_admin)) and I(user) with the owner
    of the instance, the user its control scripts run it as.
    The same answers give C(ok); different answers make the task fail with every
    difference listed. An existing instance is never changed or re-created. A record
    written before the Java home and the JMS administrator were recorded lacks them;
    they are then not compared.
  - A failure that lists differences says so when C(config/server.xml) no longer agrees
    with the record (C(config_differs) of C(instancectl list --json)).
  - The server user can write its instance's files, so a value of them the module shows
    (in I(msg), I(differences), I(docroot) and the diff) has its control characters
    escaped (C(\x1b), C(\u009b)), and nothing else of the record is shown.
  - A creation that fails after it made something leaves it in C(<server_root>/broken.<id>)
    (or C(broken.<id>.<n>)); the task then fails with C(changed) and names that directory in
    I(broken_dir).
  - A creation or a removal that was killed (or lost its machine) before it finished is
    listed by C(instancectl) as C(incomplete) or C(removing); the task fails and leaves it
    as it is, and so does the tool, until I(state=absent) (C(instancectl remove)) clears it.
  - With I(state=absent) the instance is removed by C(instancectl remove --stop), which stops
    a running instance with its own C(bin/stopserv) first, keeps the document root and removes
    the systemd unit C(instancectl unit) made for it; an unfinished creation is removed with
    what it made, an unfinished removal is finished. An instance that is not there is C(ok).
  - In check mode a missing instance is checked by the tool's check-only run (C(-n)),
    which creates nothing; the task reports C(changed) when a creation would succeed and
    fails with every problem found otherwise.
  - The password is never recorded in an instance, so it is never compared.
  - With I(state=started), I(state=stopped) or I(state=restarted) the instance is made as with
    I(state=present) when it is missing (which needs the same parameters), then its server is
    started, stopped or restarted through C(instancectl start), C(stop) or C(restart), which run
    the instance's own control scripts as its owner, or C(systemctl) when the instance has its
    systemd unit and systemd manages the host. For an existing instance only the answers the
    task gives are compared. C(started) and C(stopped) change nothing when the server already
    runs or is already stopped; C(restarted) always restarts it.
  - I(enabled) writes the instance's systemd unit with C(instancectl unit --enable) (which also
    enables it with C(systemctl) when systemd manages the host) or, when false, removes it with
    C(instancectl unit --remove), which leaves systemd with no unit of the instance (a server
    systemd ran through it is stopped; with I(state=started) it is then started again with its
    scripts, outside systemd). Only root writes units.
  - In check mode nothing is started, stopped, written or removed; the task reports C(changed)
    when the server's state or the unit's presence would change.
author:
  - The instance-creation tool maintainers (!UNKNOWN)
requirements:
  - the instance-creation tool on the managed host
options:
  executable:
    description:
      - Path of the instance-creation tool on the managed host.
      - Required with I(state=present), and with I(state=started), I(stopped) or I(restarted)
        for an instance that is missing, because the tool's name, C(install), is also the name
        of a system command.
    type: path
  instancectl:
    description:
      - Path of C(instancectl) on the managed host, which reads the existing instances,
        removes one with I(state=absent), starts, stops and restarts one, and writes its unit.
      - Default the C(instancectl) beside I(executable), where both are installed.
    type: path
  server_root:
    description:
      - The server root (the installation directory); the instance is made in
        C(<server_root>/<id>).
      - An absolute path. The tool refuses, as root, a server root that users other than
        root can write to.
    type: path
    required: true
  id:
    description:
      - The server identifier, the name of the instance's directory (tool option C(-i)).
    type: str
    required: true
  server_name:
    description:
      - The server's host name (tool option C(-s)).
      - When not given, C(default) for I(state=present) and for a new instance; an existing
        instance operated with I(state=started), I(stopped) or I(restarted) is not compared on it.
    type: str
  port:
    description:
      - The HTTP port (tool option C(-p)), from 1 to 65535.
      - When not given, C(80) for I(state=present) and for a new instance; an existing instance
        operated with I(state=started), I(stopped) or I(restarted) is not compared on it.
    type: int
  user:
    description:
      - The user the server runs as (tool option C(-u)); the instance is handed to this user.
      - Required with I(state=present), as are I(docroot), I(jms_port), I(jms_admin),
        I(jms_password) and I(java_home); with I(state=started), I(stopped) or I(restarted)
        only to make a missing instance.
    type: str
  docroot:
    description:
      - The document root (tool option C(-d)); created and filled with the first documents
        when missing.
    type: path
  jms_port:
    description:
      - The JMS port (tool option C(-P)); must differ from I(port).
    type: int
  jms_admin:
    description:
      - The JMS administrator's user name (tool option C(-A)).
    type: str
  jms_password:
    description:
      - The JMS administrator's password, one line. Given to the tool on standard input
        through C(-w -); never logged.
    type: str
  java_home:
    description:
      - The Java home directory (tool option C(-J)).
    type: path
  state:
    description:
      - C(present) makes sure the instance exists with the given answers.
      - C(absent) makes sure it does not; it is stopped and removed, its document root kept.
      - C(started) and C(stopped) make sure it exists and its server runs, or does not.
      - C(restarted) makes sure it exists and restarts its server (starts it when stopped),
        with the arguments of its last start, so that it listens where it listened.
    type: str
    choices: [present, absent, started, stopped, restarted]
    default: present
  enabled:
    description:
      - C(true) writes the instance's systemd unit (C(instancectl unit --enable)) and enables it
        when systemd manages the host; C(false) disables and removes it (C(instancectl unit
        --remove)). Not given, the unit is left as it is.
      - Needs root.
    type: bool
  unit_dir:
    description:
      - The directory of the systemd units, given to C(instancectl) as C(--unit-dir).
    type: path
    default: /etc/systemd/system
  stop_timeout:
    description:
      - How many seconds the server is given to end after SIGTERM when it is stopped
        (I(state=stopped), I(state=restarted), I(state=absent)); C(instancectl --timeout).
    type: int
    default: 30
  kill:
    description:
      - Send SIGKILL to a server still running after I(stop_timeout); C(instancectl --kill).
        Without it, such a server makes the task fail and keeps running.
    type: bool
    default: false
attributes:
  check_mode:
    description: Runs the tool's check-only mode for a missing instance and creates nothing;
      with I(state=absent), says what would be removed and removes nothing.
    support: full
  diff_mode:
    description: Shows the recorded answers before and the requested ones after (none after
      a removal), as lines of C(config/answers.conf); never the password.
    support: full
  platform:
    description: The managed host runs the programs.
    support: full
    platforms: posix
notes:
  - Run as root (C(become)) to hand the instance to another server user; otherwise I(user)
    must be the remote user itself.
  - The programs' failures are returned as they are, in I(msg) (their lines on standard error)
    and I(rc) (their exit status), for example 3 for refused answers and 254 for an identifier
    already in use under another form (C(https-<id>)); C(instancectl) answers 4 for an
    instance it could not stop before a removal and 2 for a start, stop or restart that failed
    (a failed start carries the last lines of the server's error log).
  - Both programs are given the server root as C(ZORA_SERVER_HOME), so a server root that is
    missing or no installation fails the task with the one line both name it with, whichever
    ran first.
  - Ports are checked by the tool against the other instances of the same server root and
    against listening sockets on the managed host.
'''

EXAMPLES = r'''
- name: Create the web instance of every application host
  hosts: appservers
  become: true
  tasks:
    - name: Instance web1
      server_instance:
        executable: /usr/local/libexec/instance-install/install
        server_root: /opt/server
        id: web1
        server_name: "{{ inventory_hostname }}"
        port: 8080
        jms_port: 7676
        user: daemon
        docroot: /srv/web1/docs
        jms_admin: admin
        jms_password: "{{ vault_jms_password }}"
        java_home: /usr/lib/jvm/default-java
      register: web1

    - name: Show where it is
      ansible.builtin.debug:
        msg: "{{ web1.instance_dir }} serves {{ web1.docroot }}"

- name: Instance web1 runs, now and at every boot
  hosts: appservers
  become: true
  tasks:
    - name: Started and enabled
      server_instance:
        instancectl: /usr/local/libexec/instance-install/instancectl
        server_root: /opt/server
        id: web1
        state: started
        enabled: true

- name: Restart it, killing a server that ignores SIGTERM after 10 seconds
  hosts: appservers
  become: true
  tasks:
    - name: Restarted
      server_instance:
        instancectl: /usr/local/libexec/instance-install/instancectl
        server_root: /opt/server
        id: web1
        state: restarted
        stop_timeout: 10
        kill: true

- name: Retire the old instance
  hosts: appservers
  become: true
  tasks:
    - name: Instance web0 is gone (its document root stays)
      server_instance:
        instancectl: /usr/local/libexec/instance-install/instancectl
        server_root: /opt/server
        id: web0
        state: absent
'''

RETURN = r'''
instance_dir:
  description: The instance's directory, C(<server_root>/<id>).
  returned: success, and failures that concern an existing instance
  type: str
  sample: /opt/server/web1
docroot:
  description: >-
    The document root: the one given for a new instance (or the one a creation would
    use, in check mode), the one recorded for an existing instance.
  returned: success
  type: str
  sample: /srv/web1/docs
broken_dir:
  description: Where a failed creation left what it had made.
  returned: failure of a creation that left something
  type: str
  sample: /opt/server/broken.web1
rc:
  description: The exit status of the tool (0 created or check passed, 1 bad option, 3 refused or
    failed, 254 identifier in use, 255 server root unset or an option missing) or of
    C(instancectl) (0 done, 2 refused or failed, a server root that is missing or no
    installation included, 4 still running before a removal).
  returned: when the tool was run
  type: int
  sample: 3
stdout_lines:
  description: What C(instancectl) wrote on standard output (what it removed and kept, what it
    started, stopped or wrote).
  returned: when instancectl was run
  type: list
  elements: str
  sample: ['Removed the instance web1 (/opt/server/web1).', 'Kept the document root /srv/web1/docs: it holds the site.']
stderr_lines:
  description: What the tool wrote on standard error, one item a line.
  returned: when the tool was run
  type: list
  elements: str
  sample: ['The user "nobody2" does not exist on this system.']
instance_state:
  description: The state C(instancectl status) gives the instance after the task (C(running) or
    C(stopped); in check mode, the state it would have).
  returned: with I(state=started), I(state=stopped) or I(state=restarted), on success
  type: str
  sample: running
differences:
  description: For an existing instance with other answers, each differing answer with the
    value the instance has (the server name and the ports from its C(config/server.xml)) and
    the value requested.
  returned: failure on an existing instance with other answers
  type: dict
  sample: {"port": {"existing": "8080", "requested": "8081"}}
'''

import json
import os

from ansible.module_utils.basic import AnsibleModule

# The programs run with this environment and no other variable.
TOOL_PATH = '/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin'

ANSWERS_FILE = os.path.join('config', 'answers.conf')
# What instancectl lists for what a killed creation or removal left.
UNFINISHED_STATES = ('incomplete', 'removing')

# Module parameter -> the key of `instancectl list --json` -> the name of the
# answer in config/answers.conf (the names the diff shows).
RECORDED_ANSWERS = (
    ('id', 'id', 'serverId'),
    ('server_name', 'server_name', 'serverName'),
    ('port', 'port', 'port'),
    ('jms_port', 'jms_port', 'jmsPort'),
    ('user', 'user', 'serverUser'),
    ('docroot', 'docroot', 'docRoot'),
    ('java_home', 'java_home', 'javaHome'),
    ('jms_admin', 'jms_admin', 'jmsAdminUser'),
)
PATH_ANSWERS = ('docroot', 'java_home')
# Records written before these were kept lack them: not compared then.
LATER_ANSWERS = ('java_home', 'jms_admin')
PRESENT_ONLY = ['executable', 'user', 'docroot', 'jms_port', 'jms_admin', 'jms_password', 'java_home']
# What a creation takes for the answers not given.
DEFAULTS = {'server_name': 'default', 'port': 80}
# The states that operate the instance's server, and instancectl's command for each.
OPERATIONS = {'started': 'start', 'stopped': 'stop', 'restarted': 'restart'}


def shown(value):
    """A value another user may have written, with every control character
    (C0, DEL, C1) escaped as instancectl escapes it, so that it can be shown
    on a terminal."""
    if value is None:
        return None
    text = []
    for character in str(value):
        code = ord(character)
        if character in '\n\t\r':
            text.append({'\n': '\\n', '\t': '\\t', '\r': '\\r'}[character])
        elif code < 0x20 or code == 0x7f:
            text.append('\\x%02x' % code)
        elif 0x80 <= code <= 0x9f:
            text.append('\\u%04x' % code)
        else:
            text.append(character)
    return ''.join(text)


def answer(params, parameter):
    """The answer a creation is given for `parameter`: the task's, else its default."""
    value = params.get(parameter)
    return DEFAULTS.get(parameter) if value is None else value


def tool_command(params, check_only):
    """The tool's argument list; the password is read from standard input."""
    command = [params['executable']]
    if check_only:
        command.append('-n')
    command += [
        '-s', answer(params, 'server_name'),
        '-p', str(answer(params, 'port')),
        '-i', params['id'],
        '-u', params['user'],
        '-d', params['docroot'],
        '-P', str(params['jms_port']),
        '-A', params['jms_admin'],
        '-w', '-',
        '-J', params['java_home'],
    ]
    return command


def run_program(module, command, environment, stdin=None):
    """Runs a program with exactly `environment`, `stdin` (a line) on its standard
    input; returns (exit status, standard output lines, standard error lines)."""
    assignments = ['%s=%s' % item for item in sorted(environment.items())]
    status, out, err = module.run_command(['/usr/bin/env', '-i'] + assignments + command,
                                          data=stdin, cwd='/')
    return status, out.splitlines(), err.splitlines()


def run_tool(module, check_only):
    """Runs the tool; returns (exit status, its lines: standard error, then output)."""
    params = module.params
    environment = {
        'ZORA_SERVER_HOME': params['server_root'],
        'PATH': TOOL_PATH,
        'LANG': 'C',
    }
    status, out, err = run_program(module, tool_command(params, check_only), environment,
                                   params['jms_password'])
    return status, err + out


def run_instancectl(module, arguments):
    """Runs instancectl on the server root, given as the tool is given it, so that
    both name a server root that is no installation alike; returns (status, output
    lines, error lines)."""
    params = module.params
    command = [instancectl_path(module)] + arguments
    return run_program(module, command, {'ZORA_SERVER_HOME': params['server_root'], 'PATH': TOOL_PATH,
                                         'LANG': 'C'})


def instancectl_path(module):
    params = module.params
    if params['instancectl']:
        return params['instancectl']
    if params['executable']:
        return os.path.join(os.path.dirname(params['executable']), 'instancectl')
    module.fail_json(msg='state=absent needs instancectl (or executable, beside which it is installed).')


def failure_message(program, status, lines):
    if lines:
        return '\n'.join(lines)
    if status < 0:
        return '%s was killed by signal %d.' % (program, -status)
    return '%s exited with status %d and wrote no message.' % (program, status)


def listed_instance(module):
    """The instance as `instancectl list --json` lists it, or None when it is not there."""
    status, out, err = run_instancectl(module, ['list', '--json'])
    if status != 0:
        module.fail_json(msg=failure_message('instancectl', status, err), rc=status, stderr_lines=err)
    try:
        instances = json.loads('\n'.join(out))
    except ValueError:
        module.fail_json(msg='instancectl list --json printed no JSON array.')
    for instance in instances:
        if instance.get('id') == module.params['id']:
            return instance
    return None


def record_unreadable(instance):
    """Whether instancectl could not read the instance's record: it then lists
    every answer only the record holds as null, and every creation records the
    document root. (The state is the server's alone, whatever the record.)"""
    return instance.get('docroot') is None


def recorded_answers(instance):
    """The answers of an instance as instancectl lists it, by their names in
    config/answers.conf, as text; None for those it does not know."""
    answers = {}
    for _, key, name in RECORDED_ANSWERS:
        value = instance.get(key) if instance else None
        answers[name] = None if value is None else str(value)
    return answers


def answers_text(answers):
    """Answers as config/answers.conf holds them, for a diff; never the password."""
    return ''.join('%s = %s\n' % (name, shown(answers[name]))
                   for _, _, name in RECORDED_ANSWERS if answers.get(name) is not None)


def requested_answers(params):
    return dict((name, str(answer(params, parameter))) for parameter, _, name in RECORDED_ANSWERS
                if answer(params, parameter) is not None)


def diff_of(instance_dir, before, after):
    return {
        'before': answers_text(before),
        'after': answers_text(after),
        'before_header': '%s (recorded)' % os.path.join(instance_dir, ANSWERS_FILE),
        'after_header': '%s (requested)' % os.path.join(instance_dir, ANSWERS_FILE),
    }


def same_answer(parameter, existing, requested):
    if existing is None:
        return False
    if parameter in PATH_ANSWERS:
        return os.path.normpath(existing) == os.path.normpath(requested)
    return existing == requested


def differences_of(answers, params, given_only=False):
    """Each differing answer, the recorded value shown escaped; with `given_only`
    only the answers the task gives, else every answer with its default."""
    differences = {}
    for parameter, _, name in RECORDED_ANSWERS:
        if given_only and params.get(parameter) is None:
            continue
        requested = str(answer(params, parameter))
        existing = answers.get(name)
        if existing is None and parameter in LATER_ANSWERS:
            continue
        if not same_answer(parameter, existing, requested):
            differences[parameter] = {'existing': shown(existing), 'requested': requested}
    return differences


def existing_instance(module, instance_dir, given_only=False):
    """The existing instance as instancectl lists it, with the requested answers;
    fails when it is unfinished, cannot be read or has other answers. Returns
    (the instance, the diff of its answers)."""
    instance = listed_instance(module)
    if instance is not None and instance.get('state') in UNFINISHED_STATES:
        module.fail_json(msg='%s is a creation or a removal that did not finish (instancectl lists it as %s); '
                             'it is left as it is. Remove it with state=absent (instancectl remove %s), '
                             'then create it again.' % (instance_dir, instance.get('state'), module.params['id']),
                         instance_dir=instance_dir)
    if instance is None or record_unreadable(instance):
        module.fail_json(msg='%s exists but its recorded answers cannot be read (instancectl lists %s); '
                             'it is left as it is.'
                             % (instance_dir, 'no instance there' if instance is None else 'none of them'),
                         instance_dir=instance_dir)
    answers = recorded_answers(instance)
    differences = differences_of(answers, module.params, given_only)
    diff = diff_of(instance_dir, answers, requested_answers(module.params))
    if differences:
        listed = '; '.join(
            '%s: %s there, %s requested' % (
                parameter,
                'not recorded' if values['existing'] is None else '"%s"' % values['existing'],
                '"%s"' % values['requested'])
            for parameter, values in sorted(differences.items()))
        changed_by_hand = instance.get('config_differs') or []
        if changed_by_hand:
            listed += ('; config/server.xml, whose values these are, differs from the record '
                       'config/answers.conf in %s' % ', '.join(changed_by_hand))
        module.fail_json(msg='%s exists with other answers (%s); it is left as it is.'
                             % (instance_dir, listed),
                         instance_dir=instance_dir, differences=differences, diff=diff)
    diff['after'] = diff['before']
    return instance, diff


def compare_existing(module, instance_dir):
    """Exits: ok when the existing instance has the requested answers, else fails."""
    instance, diff = existing_instance(module, instance_dir)
    answers = recorded_answers(instance)
    module.exit_json(changed=False, instance_dir=instance_dir, docroot=shown(answers['docRoot']),
                     msg='%s exists with the requested answers.' % instance_dir, diff=diff)


def is_plain_name(name):
    return bool(name) and '/' not in name and name not in ('.', '..')


def set_aside_directories(server_root, server_id):
    """The directories failed creations of the identifier left."""
    prefix = 'broken.' + server_id
    try:
        names = os.listdir(server_root)
    except OSError:
        return set()
    return set(name for name in names
               if name == prefix or (name.startswith(prefix + '.') and name[len(prefix) + 1:].isdigit()))


def run_creation(module, instance_dir):
    """Runs the tool (its check in check mode); fails the task when it fails.
    Returns (exit status, its lines, the diff)."""
    params = module.params
    before = set_aside_directories(params['server_root'], params['id'])
    status, lines = run_tool(module, check_only=module.check_mode)
    diff = diff_of(instance_dir, {}, requested_answers(params))
    if status != 0:
        left = sorted(set_aside_directories(params['server_root'], params['id']) - before)
        if left:
            broken_dir = os.path.join(params['server_root'], left[-1])
            module.fail_json(msg='%s\nThe failed creation left %s.' % (failure_message('The tool', status, lines),
                                                                       broken_dir),
                             rc=status, stderr_lines=lines, changed=True, broken_dir=broken_dir)
        module.fail_json(msg=failure_message('The tool', status, lines), rc=status, stderr_lines=lines)
    return status, lines, diff


def create(module, instance_dir):
    status, lines, diff = run_creation(module, instance_dir)
    module.exit_json(changed=True, instance_dir=instance_dir, docroot=module.params['docroot'],
                     rc=status, stderr_lines=lines, diff=diff)


def remove(module, instance_dir):
    params = module.params
    instance = listed_instance(module)
    if instance is None:
        module.exit_json(changed=False, instance_dir=instance_dir,
                         msg='There is no instance %s in %s.' % (params['id'], params['server_root']),
                         diff=diff_of(instance_dir, {}, {}))
    diff = diff_of(instance_dir, recorded_answers(instance), {})
    if module.check_mode:
        msg = '%s would be removed%s; its document root %s would be kept.' % (
            instance_dir, ' after its server is stopped' if instance.get('state') == 'running' else '',
            shown(instance.get('docroot')) or '(not recorded)')
        module.exit_json(changed=True, instance_dir=instance_dir, msg=msg, diff=diff)
    # instancectl escapes what it prints, the stopped server's messages included.
    status, out, err = run_instancectl(module, ['remove', params['id'], '--stop'] + stop_options(params))
    if status != 0:
        # A removal that failed halfway has changed the host all the same.
        module.fail_json(msg=failure_message('instancectl', status, err + out), rc=status,
                         stdout_lines=out, stderr_lines=err, changed=listed_instance(module) != instance)
    module.exit_json(changed=True, instance_dir=instance_dir, msg='\n'.join(out), rc=status,
                     stdout_lines=out, stderr_lines=err, diff=diff)


def stop_options(params):
    """instancectl's --timeout and --kill, only when the task asks for other than
    stopserv's own defaults (the stopserv of an older instance takes no options)."""
    options = []
    if params['stop_timeout'] != 30:
        options += ['--timeout', str(params['stop_timeout'])]
    if params['kill']:
        options.append('--kill')
    return options


def instancectl_step(module, arguments, changed_lines, result):
    """Runs instancectl with `arguments`; fails the task (with what changed so far)
    when it fails. True when a line of its output starts with one of
    `changed_lines`."""
    status, out, err = run_instancectl(module, arguments)
    result.setdefault('stdout_lines', []).extend(out)
    result.setdefault('stderr_lines', []).extend(err)
    if status != 0:
        module.fail_json(msg=failure_message('instancectl', status, err + out), rc=status, **result)
    return any(line.startswith(changed_lines) for line in out)


def unit_present(params, instance_dir):
    """Whether the unit directory holds the unit instancectl wrote for the
    instance: the one file there that names it on its X-Instancectl-Instance line."""
    # instancectl names the instance by its real path, whatever links lead to it.
    marker = 'X-Instancectl-Instance=%s\n' % os.path.realpath(instance_dir)
    try:
        names = os.listdir(params['unit_dir'])
    except OSError:
        return False
    for name in names:
        if not (name.startswith('server-instance-') and name.endswith('.service')):
            continue
        path = os.path.join(params['unit_dir'], name)
        if os.path.islink(path) or not os.path.isfile(path):
            continue
        with open(path) as unit:
            if marker in unit.read(65536):
                return True
    return False


def apply_enabled(module, instance_dir, result):
    """Writes and enables, or disables and removes, the instance's unit as
    `enabled` asks; True when it changed (or, in check mode, would change)."""
    params = module.params
    if params['enabled'] is None:
        return False
    if module.check_mode:
        return unit_present(params, instance_dir) != params['enabled']
    unit_dir = ['--unit-dir', params['unit_dir']]
    if params['enabled']:
        return instancectl_step(module, ['unit', params['id'], '--enable'] + unit_dir,
                                ('Wrote the service unit', 'Enabled the service unit'), result)
    return instancectl_step(module, ['unit', params['id'], '--remove'] + unit_dir,
                            ('Removed the service unit',), result)


def apply_state(module, instance, result):
    """Starts, stops or restarts the server as `state` asks; True when it changed
    (or, in check mode, would change). Sets result['instance_state']."""
    params = module.params
    verb = OPERATIONS[params['state']]
    running = instance is not None and instance.get('state') == 'running'
    wanted = params['state'] != 'stopped'
    result['instance_state'] = 'running' if wanted else 'stopped'
    if running == wanted and params['state'] != 'restarted':
        return False
    if module.check_mode:
        return True
    arguments = [verb, params['id'], '--unit-dir', params['unit_dir']]
    if verb != 'start':
        arguments += stop_options(params)
    instancectl_step(module, arguments, ('',), result)
    return True


def operate(module, instance_dir):
    """state started, stopped or restarted: the instance made when missing, its
    unit as `enabled` asks, then its server."""
    params = module.params
    result = {'instance_dir': instance_dir}
    instance = None
    created = False
    if os.path.lexists(instance_dir):
        instance, diff = existing_instance(module, instance_dir, given_only=True)
        if instance.get('state') not in ('running', 'stopped'):
            module.fail_json(msg='%s is listed as %s by instancectl; it has no server to operate.'
                                 % (instance_dir, instance.get('state')), **result)
        result['docroot'] = shown(instance.get('docroot'))
    else:
        missing = [name for name in PRESENT_ONLY if params[name] is None]
        if missing:
            module.fail_json(msg='There is no instance %s in %s; to make it, the task needs %s.'
                                 % (params['id'], params['server_root'], ', '.join(missing)), **result)
        check_password(module)
        status, lines, diff = run_creation(module, instance_dir)
        result.update(rc=status, stderr_lines=lines, docroot=params['docroot'])
        created = True
        if not module.check_mode:
            instance = listed_instance(module)
    result['diff'] = diff
    changed = apply_enabled(module, instance_dir, result)
    if changed and not module.check_mode:
        # Removing the unit stops a server that systemd ran through it.
        instance = listed_instance(module)
    changed = apply_state(module, instance, result) or changed
    module.exit_json(changed=created or changed, **result)


def check_password(module):
    # The tool reads only the first line: a longer password would be cut short.
    password = module.params['jms_password']
    if '\n' in password or '\r' in password:
        module.fail_json(msg='jms_password must be a single line.')


def main():
    module = AnsibleModule(
        argument_spec=dict(
            executable=dict(type='path'),
            instancectl=dict(type='path'),
            server_root=dict(type='path', required=True),
            id=dict(type='str', required=True),
            server_name=dict(type='str'),
            port=dict(type='int'),
            user=dict(type='str'),
            docroot=dict(type='path'),
            jms_port=dict(type='int'),
            jms_admin=dict(type='str'),
            jms_password=dict(type='str', no_log=True),
            java_home=dict(type='path'),
            state=dict(type='str', default='present',
                       choices=['present', 'absent', 'started', 'stopped', 'restarted']),
            enabled=dict(type='bool'),
            unit_dir=dict(type='path', default='/etc/systemd/system'),
            stop_timeout=dict(type='int', default=30),
            kill=dict(type='bool', default=False),
        ),
        required_if=[('state', 'present', PRESENT_ONLY)],
        supports_check_mode=True,
    )
    params = module.params
    instance_dir = os.path.join(params['server_root'], params['id'])
    if params['state'] == 'absent':
        remove(module, instance_dir)
    if params['state'] in OPERATIONS:
        operate(module, instance_dir)

    check_password(module)
    # An identifier the tool would refuse is left to the tool to refuse.
    if os.path.isabs(params['server_root']) and is_plain_name(params['id']) \
            and os.path.lexists(instance_dir):
        compare_existing(module, instance_dir)
    create(module, instance_dir)


if __name__ == '__main__':
    main()
