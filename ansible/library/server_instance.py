#!/usr/bin/python
# -*- coding: utf-8 -*-
#
# Creates one application server instance on the managed host by running the
# instance-creation tool there. The tool does every check and all the work;
# this module decides whether a run is needed, hands the JMS password to the
# tool on standard input and reports the tool's own messages.

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: server_instance
short_description: Create an application server instance with the instance-creation tool
description:
  - Creates the instance I(id) under a server root by running the instance-creation
    tool (C(install)) on the managed host, with a clean environment that holds only
    C(ZORA_SERVER_HOME), C(PATH) and C(LANG=C).
  - The JMS administrator's password is handed to the tool on its standard input
    (C(-w -)); it is never on a command line, in the environment or in the module's output.
  - Idempotent. When C(<server_root>/<id>) already exists, the module reads back the
    answers the tool recorded in its C(config/answers.conf) and compares them with the
    requested ones (I(id), I(server_name), I(port), I(jms_port), I(user), I(docroot)).
    The same answers give C(ok); different answers make the task fail with every
    difference listed. An existing instance is never changed or re-created.
  - In check mode a missing instance is checked by the tool's check-only run (C(-n)),
    which creates nothing; the task reports C(changed) when a creation would succeed and
    fails with every problem found otherwise.
  - The JMS administrator's name, the password and the Java home are not recorded in an
    instance, so they are not compared.
author:
  - The instance-creation tool's maintainers
requirements:
  - the instance-creation tool on the managed host
options:
  executable:
    description:
      - Path of the instance-creation tool on the managed host.
      - Required because the tool's name, C(install), is also the name of a system command.
    type: path
    required: true
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
    type: str
    default: default
  port:
    description:
      - The HTTP port (tool option C(-p)), from 1 to 65535.
    type: int
    default: 80
  user:
    description:
      - The user the server runs as (tool option C(-u)); the instance is handed to this user.
    type: str
    required: true
  docroot:
    description:
      - The document root (tool option C(-d)); created and filled with the first documents
        when missing.
    type: path
    required: true
  jms_port:
    description:
      - The JMS port (tool option C(-P)); must differ from I(port).
    type: int
    required: true
  jms_admin:
    description:
      - The JMS administrator's user name (tool option C(-A)).
    type: str
    required: true
  jms_password:
    description:
      - The JMS administrator's password, one line. Given to the tool on standard input
        through C(-w -); never logged.
    type: str
    required: true
  java_home:
    description:
      - The Java home directory (tool option C(-J)).
    type: path
    required: true
  state:
    description:
      - C(present) makes sure the instance exists with the given answers.
    type: str
    choices: [present]
    default: present
attributes:
  check_mode:
    description: Runs the tool's check-only mode for a missing instance; creates nothing.
    support: full
  diff_mode:
    description: Not supported.
    support: none
  platform:
    description: The managed host runs the tool.
    platforms: posix
notes:
  - Run as root (C(become)) to hand the instance to another server user; otherwise I(user)
    must be the remote user itself.
  - The tool's failures are returned as they are, in I(msg) (its lines on standard error)
    and I(rc) (its exit status), for example 3 for refused answers and 254 for an identifier
    already in use under another form (C(https-<id>)).
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
rc:
  description: The tool's exit status (0 created or check passed, 1 bad option, 3 refused or
    failed, 254 identifier in use, 255 server root unset or an option missing).
  returned: when the tool was run
  type: int
  sample: 3
stderr_lines:
  description: What the tool wrote on standard error, one item a line.
  returned: when the tool was run
  type: list
  elements: str
  sample: ['The user "nobody2" does not exist on this system.']
differences:
  description: For an existing instance with other answers, each differing answer with the
    value recorded in the instance and the value requested.
  returned: failure on an existing instance with other answers
  type: dict
  sample: {"port": {"existing": "8080", "requested": "8081"}}
'''

import errno
import os
import stat
import subprocess

from ansible.module_utils.basic import AnsibleModule

# The tool runs with this environment and no other variable.
TOOL_PATH = '/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin'

ANSWERS_FILE = os.path.join('config', 'answers.conf')
ANSWERS_MAX_BYTES = 64 * 1024

# Module parameter -> name of the answer in config/answers.conf.
RECORDED_ANSWERS = (
    ('id', 'serverId'),
    ('server_name', 'serverName'),
    ('port', 'port'),
    ('jms_port', 'jmsPort'),
    ('user', 'serverUser'),
    ('docroot', 'docRoot'),
)
PATH_ANSWERS = ('docroot',)


def tool_command(params, check_only):
    """The tool's argument list; the password is read from standard input."""
    command = [params['executable']]
    if check_only:
        command.append('-n')
    command += [
        '-s', params['server_name'],
        '-p', str(params['port']),
        '-i', params['id'],
        '-u', params['user'],
        '-d', params['docroot'],
        '-P', str(params['jms_port']),
        '-A', params['jms_admin'],
        '-w', '-',
        '-J', params['java_home'],
    ]
    return command


def run_tool(module, check_only):
    """Runs the tool; returns (exit status, its lines: standard error, then output)."""
    params = module.params
    environment = {
        'ZORA_SERVER_HOME': params['server_root'],
        'PATH': TOOL_PATH,
        'LANG': 'C',
    }
    try:
        process = subprocess.Popen(tool_command(params, check_only), env=environment,
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, close_fds=True, cwd='/')
    except OSError as e:
        module.fail_json(msg='Cannot run %s: %s' % (params['executable'], e.strerror))
    password = (params['jms_password'] + '\n').encode('utf-8')
    stdout, stderr = process.communicate(password)
    lines = stderr.decode('utf-8', 'replace').splitlines()
    lines += stdout.decode('utf-8', 'replace').splitlines()
    return process.returncode, lines


def tool_failure_message(status, lines):
    if lines:
        return '\n'.join(lines)
    if status < 0:
        return 'The tool was killed by signal %d.' % -status
    return 'The tool exited with status %d and wrote no message.' % status


def read_answers(instance_dir):
    """The answers recorded in an instance: (dict, None) or (None, reason).

    The file belongs to the server user: it is opened without following a
    link, must be a regular file, and only the known answers are kept.
    """
    path = os.path.join(instance_dir, ANSWERS_FILE)
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError as e:
        if e.errno == errno.ELOOP:
            return None, '%s is a symbolic link' % path
        return None, '%s: %s' % (path, e.strerror)
    with os.fdopen(fd, 'rb') as handle:
        if not stat.S_ISREG(os.fstat(handle.fileno()).st_mode):
            return None, '%s is not a regular file' % path
        content = handle.read(ANSWERS_MAX_BYTES + 1)
    if len(content) > ANSWERS_MAX_BYTES:
        return None, '%s is larger than %d bytes' % (path, ANSWERS_MAX_BYTES)
    known = set(name for _, name in RECORDED_ANSWERS)
    answers = {}
    for number, line in enumerate(content.decode('utf-8', 'replace').splitlines(), 1):
        if not line.strip() or line.startswith('#'):
            continue
        name, separator, value = line.partition(' = ')
        if not separator:
            return None, '%s line %d is not "name = value"' % (path, number)
        if name in known:
            answers[name] = value
    return answers, None


def same_answer(parameter, existing, requested):
    if existing is None:
        return False
    if parameter in PATH_ANSWERS:
        return os.path.normpath(existing) == os.path.normpath(requested)
    return existing == requested


def compare_existing(module, instance_dir):
    """Exits: ok when the existing instance has the requested answers, else fails."""
    answers, problem = read_answers(instance_dir)
    if problem:
        module.fail_json(msg='%s exists but its recorded answers cannot be read (%s); '
                             'it is left as it is.' % (instance_dir, problem),
                         instance_dir=instance_dir)
    differences = {}
    for parameter, name in RECORDED_ANSWERS:
        requested = str(module.params[parameter])
        existing = answers.get(name)
        if not same_answer(parameter, existing, requested):
            differences[parameter] = {'existing': existing, 'requested': requested}
    if differences:
        listed = '; '.join(
            '%s: %s there, %s requested' % (
                parameter,
                'not recorded' if values['existing'] is None else '"%s"' % values['existing'],
                '"%s"' % values['requested'])
            for parameter, values in sorted(differences.items()))
        module.fail_json(msg='%s exists with other answers (%s); it is left as it is.'
                             % (instance_dir, listed),
                         instance_dir=instance_dir, differences=differences)
    module.exit_json(changed=False, instance_dir=instance_dir, docroot=answers['docRoot'],
                     msg='%s exists with the requested answers.' % instance_dir)


def is_plain_name(name):
    return bool(name) and '/' not in name and name not in ('.', '..')


def main():
    module = AnsibleModule(
        argument_spec=dict(
            executable=dict(type='path', required=True),
            server_root=dict(type='path', required=True),
            id=dict(type='str', required=True),
            server_name=dict(type='str', default='default'),
            port=dict(type='int', default=80),
            user=dict(type='str', required=True),
            docroot=dict(type='path', required=True),
            jms_port=dict(type='int', required=True),
            jms_admin=dict(type='str', required=True),
            jms_password=dict(type='str', required=True, no_log=True),
            java_home=dict(type='path', required=True),
            state=dict(type='str', default='present', choices=['present']),
        ),
        supports_check_mode=True,
    )
    params = module.params
    # The tool reads only the first line: a longer password would be cut short.
    if '\n' in params['jms_password'] or '\r' in params['jms_password']:
        module.fail_json(msg='jms_password must be a single line.')

    instance_dir = os.path.join(params['server_root'], params['id'])
    # An identifier the tool would refuse is left to the tool to refuse.
    if os.path.isabs(params['server_root']) and is_plain_name(params['id']) \
            and os.path.lexists(instance_dir):
        compare_existing(module, instance_dir)

    status, lines = run_tool(module, check_only=module.check_mode)
    if status != 0:
        module.fail_json(msg=tool_failure_message(status, lines), rc=status, stderr_lines=lines)
    module.exit_json(changed=True, instance_dir=instance_dir, docroot=params['docroot'],
                     rc=status, stderr_lines=lines)


if __name__ == '__main__':
    main()
