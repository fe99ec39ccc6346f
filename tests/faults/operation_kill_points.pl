#!/usr/bin/perl
# SPDX-License-Identifier: GPL-3.0-or-later
#
# operation_kill_points.pl - kills an operation of an instance (a control
# script run by root or by the owner, instancectl start, restart or unit)
# with SIGKILL at one system call of one of its processes, one point per
# run, and checks what an administrator then relies on.
#
#   operation_kill_points.pl --install BIN --instancectl BIN --kill-at BIN
#                  --sample SERVER_ROOT --test-port BIN [--user NAME]
#                  [--all | --points N] [--scenarios LIST] [--jobs N]
#                  [--timeout SECONDS] [--keep] [--verbose] [--list]
#
# Scenarios (the instance made for the server user, daemon by default):
#   start-root       root's bin/startserv -a 127.0.0.1, its root side killed:
#                    the script's shell and the program asowner as root
#   start-owner      the same, its owner side killed: asowner as the owner,
#                    the server program it starts and that program's child
#                    that becomes the server
#   start-by-owner   the owner's own bin/startserv
#   restart-address  root's bin/restartserv -a 127.0.0.1 while a server
#                    started without arguments (every address) runs
#   restart-record   root's bin/restartserv, the arguments from the record,
#                    while a server started with -a 127.0.0.1 runs
#   ctl-start        instancectl start (a record of -a 127.0.0.1 before)
#   ctl-restart      instancectl restart while a server of -a 127.0.0.1 runs
#   ctl-unit         instancectl unit --unit-dir DIR, a scratch directory
# instancectl is told that no systemd manages the machine.
#
# A strace fault injection cannot aim here: strace counts the calls of
# each traced process apart, and with -f kills every traced process at its
# own Nth call, root's side and the owner's alike. kill-at (kill_at.cpp)
# names each process by its place in the tree and kills only the one
# meant. A counting run lists every call of every process that changes
# something (opens that write or create, writes, renames, removals, modes,
# syncs, locks, forks, waits, programs run, signals, listening sockets, the
# final exit), each with the role of its process (root's asowner, the
# owner's, the server program, the server, instancectl, a script's shell,
# ...) and the step of that role it belongs to. By default a sample is
# taken: the first call of every step of the roles the scenario names, and
# calls spread evenly over the rest; --all takes every call of the
# processes the scenario kills.
#
# After each kill, once the processes the run left have ended (servers
# aside):
#   - instancectl status and list --json say running exactly when a server
#     of the instance serves: a lighttpd of the instance is alive and holds
#     logs/server.lock, and no other lighttpd of the instance runs;
#   - while one serves, bin/restartserv brings it back listening where it
#     listened (the start record agrees with the running server);
#   - bin/stopserv (instancectl stop for its scenarios) then leaves nothing
#     of the instance running and the port free;
#   - nothing is left outside the instance: every run happens in a mount
#     namespace with a /tmp of its own, compared before and after, and the
#     unit directory and the rest of the server root are compared too;
#   - the next run of the same command succeeds, leaves no entry in the
#     instance or the unit directory that a clean run does not leave, and
#     a server it starts listens where its record says.
#
# Runs as root (exit status 77, skipped, otherwise). Everything happens
# below one mkdtemp directory in /tmp, removed at the end (kept with
# --keep); every server started is stopped, also when the harness fails.
# Exit status 0 when no fault was found, 1 otherwise, 2 when the harness
# itself cannot run.

use strict;
use warnings;
use Config;
use Cwd qw(abs_path);
use File::Basename qw(basename dirname);
use File::Path qw(make_path remove_tree);
use File::Temp qw(tempdir);
use Getopt::Long;
use IO::Handle;
use POSIX qw(WEXITSTATUS WIFSIGNALED WTERMSIG WNOHANG);
use Time::HiRes qw(time sleep);
use lib dirname(abs_path($0));
use HarnessSupport qw(snapshotTree compareSnapshots slurp findProgram runInWorkers);

my $ID = 'web1';
my $ADDRESS = '127.0.0.1';
my $EVERY_ADDRESS = '0.0.0.0';
# How long the processes a run left are given to end, and a server to listen.
my $SETTLE_SECONDS = 60;
# Opens count only when they may write or create.
my $WRITING_OPEN = qr/O_WRONLY|O_RDWR|O_CREAT|O_TRUNC|O_TMPFILE/;

# command: what is run (see commandOf); as: who runs it; kill: whose
# processes are killed (root, owner or all); before: the state it starts
# from (the record of a start without arguments or with -a, and whether a
# server runs); stop: how the harness stops the server afterwards;
# steps: the roles whose steps are sampled; spread: further calls spread
# over all.
my %SCENARIOS = (
    'start-root' => { command => [ 'startserv', '-a', $ADDRESS ], as => 'root', kill => 'root',
        before => 'plain', steps => [ 'startserv shell', 'asowner (root)' ], spread => 1 },
    'start-owner' => { command => [ 'startserv', '-a', $ADDRESS ], as => 'root', kill => 'owner',
        before => 'plain', steps => [ 'startserv asowner', 'server program', 'server' ], spread => 0 },
    'start-by-owner' => { command => ['startserv'], as => 'owner', kill => 'all',
        before => 'address', steps => [], spread => 3 },
    'restart-address' => { command => [ 'restartserv', '-a', $ADDRESS ], as => 'root', kill => 'all',
        before => 'plain running', steps => [ 'restartserv asowner', 'stopserv asowner' ], spread => 2 },
    'restart-record' => { command => ['restartserv'], as => 'root', kill => 'all',
        before => 'address running', steps => [], spread => 3 },
    'ctl-start' => { command => [ 'ctl', 'start' ], as => 'root', kill => 'all', stop => 'ctl',
        before => 'address', steps => ['instancectl'], spread => 2 },
    'ctl-restart' => { command => [ 'ctl', 'restart' ], as => 'root', kill => 'all', stop => 'ctl',
        before => 'address running', steps => ['instancectl'], spread => 2 },
    'ctl-unit' => { command => [ 'ctl', 'unit' ], as => 'root', kill => 'all', stop => 'ctl',
        before => 'plain', steps => ['instancectl'], spread => 1 },
);
my @SCENARIO_ORDER =
  qw(start-root start-owner start-by-owner restart-address restart-record ctl-start ctl-restart ctl-unit);
my %SCRIPT = map { $_ => 1 } qw(startserv stopserv restartserv rotatelogs);

# The steps of each role, in order: a call belongs to the last step whose
# first call has been seen, each known by a call only it makes (matched
# against "NAME#N CALL").
my %STEPS = (
    shell      => [ [ checks => qr/\A/ ], [ 'the program' => qr/\Aexecve#\d+ execve\(".*\/asowner"/ ] ],
    subshell   => [ [ subshell => qr/\A/ ] ],
    'asowner (root)' => [ [ checks => qr/\A/ ], [ 'owner side' => qr/\Aclone/ ], [ relay => qr/\A(write|wait4)/ ],
        [ end => qr/\Aexit_group/ ] ],
    'startserv asowner' => [ [ 'control lock' => qr/\A/ ],
        [ record => qr/startserv\.args/ ], [ 'server program' => qr/\Aclone/ ], [ judging => qr/\Await4/ ],
        [ end => qr/\Aexit_group/ ] ],
    'stopserv asowner' => [ [ 'control lock' => qr/\A/ ], [ signal => qr/\A(pidfd_send_signal|kill)/ ],
        [ 'pid file' => qr/"pid"/ ], [ end => qr/\Aexit_group/ ] ],
    'restartserv asowner' => [ [ 'control lock' => qr/\A/ ],
        [ stop => qr/\Aclone#1 / ], [ start => qr/\Aclone#2 / ], [ end => qr/\Aexit_group/ ] ],
    'server program' => [ [ prepare => qr/\A/ ], [ fork => qr/\Aclone/ ], [ waiting => qr/\Await4/ ],
        [ report => qr/\Awrite/ ], [ end => qr/\Aexit_group/ ] ],
    server => [ [ session => qr/\A/ ], [ 'server lock' => qr/server\.lock/ ],
        [ configuration => qr/lighttpd\.conf/ ], [ lighttpd => qr/\Aexecve/ ], [ listen => qr/\A(bind|listen)/ ],
        [ 'pid file' => qr/\Awrite#\d+ write\(\d+<[^>]*\/logs\/pid>/ ] ],
    instancectl => [ [ lock => qr/\A/ ], [ 'unit file' => qr/\.service\.new"/ ], [ rename => qr/\Arename/ ],
        [ script => qr/\Aclone/ ], [ judging => qr/\Await4/ ], [ end => qr/\Aexit_group/ ] ],
);

my %option = (user => 'daemon', jobs => 2, timeout => 300);
GetOptions(\%option, 'install=s', 'instancectl=s', 'kill-at=s', 'sample=s', 'test-port=s', 'user=s', 'all',
    'points=i', 'scenarios=s', 'jobs=i', 'timeout=i', 'keep', 'verbose', 'list')
  or usage();
usage() unless $option{install} && $option{instancectl} && $option{'kill-at'} && $option{sample}
  && $option{'test-port'};
$option{jobs} = 1 if $option{jobs} < 1;
$option{jobs} = 9 if $option{jobs} > 9;    # worker directories keep one-digit names

sub usage {
    print STDERR "usage: $0 --install BIN --instancectl BIN --kill-at BIN --sample SERVER_ROOT --test-port BIN"
      . " [--user NAME] [--all | --points N] [--scenarios LIST] [--jobs N] [--timeout SECONDS] [--keep]"
      . " [--verbose] [--list]\n";
    exit 2;
}

sub harnessFailure {
    my ($text) = @_;
    print STDERR "operation kill points: cannot run: $text\n";
    exit 2;
}

if ($> != 0) {
    print "operation kill points: skipped, needs root\n";
    exit 77;
}
my %PROGRAM;
for my $name (qw(install instancectl kill-at test-port)) {
    $PROGRAM{$name} = abs_path($option{$name}) // harnessFailure("no executable $option{$name}");
    harnessFailure("$PROGRAM{$name} is not executable") unless -x $PROGRAM{$name};
}
my $SAMPLE = abs_path($option{sample}) // harnessFailure("no sample installation $option{sample}");
for my $tool (qw(nsenter unshare setpriv mount lighttpd)) {
    findProgram($tool) // -x "/usr/sbin/$tool" || harnessFailure("$tool not found");
}
my @OWNER = getpwnam($option{user}) or harnessFailure("unknown user $option{user}");
my ($OWNER_UID, $OWNER_GID) = @OWNER[ 2, 3 ];
harnessFailure("the server user must not be root") if $OWNER_UID == 0;
my @SCENARIOS = $option{scenarios} ? split(/,/, $option{scenarios}) : @SCENARIO_ORDER;
for (@SCENARIOS) { harnessFailure("unknown scenario $_") unless $SCENARIOS{$_} }

my $TOP = tempdir('/tmp/operation-kill-points.XXXXXX');
chmod 0755, $TOP;
my %RUNNING_WORKERS;
my @PORTS = testPorts($option{jobs} + 1);
$SIG{INT} = $SIG{TERM} = sub { die "interrupted\n" };
becomeSubreaper();
my $started = time;
my $exitStatus = eval { main() };
my $problem = $@;
finish();
harnessFailure($problem) if $problem;
exit $exitStatus;

# Every server of the harness's instances stopped, the scratch directory gone.
sub finish {
    kill 'TERM', keys %RUNNING_WORKERS;
    waitpid($_, 0) for keys %RUNNING_WORKERS;
    stopEverything();
    if ($option{keep}) {
        print STDERR "operation kill points: scratch directory kept: $TOP\n";
    } else {
        remove_tree($TOP);
    }
}

sub testPorts {
    my ($count) = @_;
    open(my $ports, '-|', $PROGRAM{'test-port'}, $count) or harnessFailure("cannot run $PROGRAM{'test-port'}: $!");
    my @ports = split ' ', (<$ports> // '');
    close($ports);
    harnessFailure("no ports from $PROGRAM{'test-port'}") unless @ports == $count;
    return @ports;
}

sub main {
    my (@tasks, %references);
    my $counter = prepareWorker('c', $PORTS[-1]);
    for my $name (@SCENARIOS) {
        my ($points, $reference) = countPoints($counter, $name);
        $references{$name} = $reference;
        my $scenario = $SCENARIOS{$name};
        my @chosen = $option{all} ? @$points : samplePoints($points, $scenario->{steps}, $option{points} // $scenario->{spread});
        printf STDERR "operation kill points: %s: %d calls that change something, %d killed\n", $name,
          scalar @$points, scalar @chosen;
        if ($option{list}) {
            printf "%-15s %-8s %-19s %-20s %-16s #%-4d %s\n", $name, $_->{process}, $_->{role}, $_->{step},
              $_->{syscall}, $_->{n}, substr($_->{call}, 0, 120)
              for @$points;
        }
        push @tasks, map { { %$_, scenario => $name } } @chosen;
    }
    stopServers($counter);
    return 0 if $option{list};
    $tasks[$_]{id} = $_ for 0 .. $#tasks;
    my @results;
    for my $line (runInWorkers(top => $TOP, jobs => $option{jobs}, tasks => \@tasks, running => \%RUNNING_WORKERS,
        work => sub { workerMain(@_, \%references) })) {
        my ($id, $class, $reason) = split /\t/, $line, 3;
        push @results, { id => $id, class => $class, reason => $reason };
    }
    return summarise([ sort { $a->{id} <=> $b->{id} } @results ], \@tasks);
}

# --- points ------------------------------------------------------------------

# Every call of the processes the scenario kills that changes something, in
# order: {process, role, step, syscall, n, call, comm}; and the entries a
# clean run leaves in the instance and the unit directory.
sub countPoints {
    my ($worker, $name) = @_;
    my $scenario = $SCENARIOS{$name};
    prepareTask($worker, $scenario);
    my $log = "$worker->{state}/count.log";
    my $run = runCommand($worker, [ $PROGRAM{'kill-at'}, '--log', $log, '--', commandOf($worker, $scenario) ], 'count');
    die "$name: the counting run failed (status $run->{status}): $run->{err}$run->{out}" unless $run->{status} eq '0';
    settle($worker);
    my $reference = entryNames($worker);
    my @calls;
    open(my $in, '<', $log) or die "cannot read $log: $!";
    while (my $line = <$in>) {
        chomp $line;
        my ($process, $uid, $comm, $syscall, $n, $call) = split /\t/, $line, 6;
        push @calls, { process => $process, uid => $uid, comm => $comm, syscall => $syscall, n => $n, call => $call };
    }
    close($in);
    my $processes = describeProcesses(\@calls);
    my (@points, %stepAt);
    for my $call (@calls) {
        # kill-at's own start of the command.
        next if $call->{comm} eq substr(basename($PROGRAM{'kill-at'}), 0, 15);
        my $process = $processes->{ $call->{process} };
        next unless $scenario->{kill} eq 'all' || $process->{side} eq $scenario->{kill};
        my $role = roleOf($processes, $call);
        my $steps = $STEPS{ $role =~ /\A\w+ (shell)\z/ ? $1 : $role } // [ [ $role => qr/\A/ ] ];
        my $key = "$call->{process} $role";
        my $current = $stepAt{$key} // -1;
        for my $index (reverse 0 .. $#$steps) {
            next unless $index > $current && "$call->{syscall}#$call->{n} $call->{call}" =~ $steps->[$index][1];
            $current = $index;
            last;
        }
        $stepAt{$key} = $current;
        next if $call->{syscall} =~ /\Aopen(at)?\z/ && $call->{call} !~ $WRITING_OPEN;
        push @points, { %$call, role => $role, step => $current < 0 ? 'start' : $steps->[$current][0] };
    }
    return (\@points, $reference);
}

# What each process is: the processes that started it, the program it
# started as (for a child of a shell: a subshell), the control script it
# serves, and its side (owner when it ever ran as the owner).
sub describeProcesses {
    my ($calls) = @_;
    my %processes;
    my $seq = 0;
    for my $call (@$calls) {
        $call->{seq} = $seq++;
        my $process = $processes{ $call->{process} } //= { comms => [], side => 'root', forks => [], own => {} };
        # The calls its own program makes: those after its first exec.
        $process->{own}{ $call->{seq} } = 1 if $process->{ran};
        $process->{ran} = 1 if $call->{syscall} =~ /\Aexecve(at)?\z/;
        push @{ $process->{comms} }, $call->{comm} unless @{ $process->{comms} } && $process->{comms}[-1] eq $call->{comm};
        $process->{side} = 'owner' if $call->{uid} eq $OWNER_UID;
        push @{ $process->{forks} }, $call->{comm} if $call->{syscall} =~ /\A(clone3?|v?fork)\z/;
    }
    for my $id (sort { length $a <=> length $b } keys %processes) {
        my $process = $processes{$id};
        my ($parent, $index) = $id =~ /\A(.*)\.(\d+)\z/ ? ($processes{$1}, $2) : (undef, 0);
        $process->{forker} = $parent ? $parent->{forks}[$index] // '' : '';
        ($process->{script}) = grep { $SCRIPT{$_} } @{ $process->{comms} };
        $process->{script} //= $parent ? $parent->{script} : undef;
        $process->{script} //= '';
    }
    return \%processes;
}

# The role of the process that made `call`, named after its program then.
sub roleOf {
    my ($processes, $call) = @_;
    my $process = $processes->{ $call->{process} };
    my $comm = $call->{comm};
    return 'subshell' if $SCRIPT{ $process->{forker} } || $comm =~ /\A(id|stat|readlink)\z/;
    # The server program's child takes the server lock and becomes the server.
    return 'server' if $process->{forker} eq 'appservd-wdog';
    # Any other child before it runs a program of its own.
    return "$process->{forker}'s child" if $call->{process} ne '0' && !$process->{own}{ $call->{seq} };
    return "$comm shell" if $SCRIPT{$comm};
    return $process->{side} eq 'root' ? 'asowner (root)' : "$process->{script} asowner" if $comm eq 'asowner';
    return 'server program' if $comm eq 'appservd-wdog';
    return $comm;
}

# The first call of every step of the roles `roles`, then `spread` calls
# spread evenly over all of them.
sub samplePoints {
    my ($points, $roles, $spread) = @_;
    my %wanted = map { $_ => 1 } @$roles;
    my (%chosen, %seen);
    for my $i (0 .. $#$points) {
        my $point = $points->[$i];
        $chosen{$i} = 1 if $wanted{ $point->{role} } && !$seen{"$point->{role} $point->{step}"}++;
    }
    $chosen{ int(($_ + 0.5) * @$points / $spread) } = 1 for 0 .. $spread - 1;
    return map { $points->[$_] } sort { $a <=> $b } grep { $_ < @$points } keys %chosen;
}

# --- workers -------------------------------------------------------------------

sub workerMain {
    my ($index, $tasks, $references) = @_;
    my $interrupted;
    $SIG{INT} = $SIG{TERM} = sub { $interrupted = 1; die "interrupted\n" };
    becomeSubreaper();
    my $worker = prepareWorker($index, $PORTS[$index]);
    open(my $out, '>', "$TOP/results.$index") or die "cannot write results: $!";
    $out->autoflush(1);
    my $finished = eval {
        startNamespace($worker);
        for my $task (@$tasks) {
            my $verdict = eval { runTask($worker, $task, $references->{ $task->{scenario} }) }
              // { class => 'FAULT', reason => "harness: $@" };
            die "interrupted\n" if $interrupted;
            $verdict->{reason} =~ s/[\t\n]+/ /g;
            print {$out} join("\t", $task->{id}, $verdict->{class}, $verdict->{reason}), "\n";
            keepFaultyRun($worker, $task) if $verdict->{class} eq 'FAULT' && $option{keep};
            printf STDERR "%-6s %-15s %-8s %-19s %-16s %-17s #%-4d %s\n", $verdict->{class}, $task->{scenario},
              $task->{process}, $task->{role}, $task->{step}, $task->{syscall}, $task->{n}, $verdict->{reason}
              if $option{verbose};
        }
        1;
    };
    my $problem = $@;
    stopServers($worker);
    endNamespace($worker);
    close($out) or die "cannot write results: $!";
    die $problem unless $finished;
}

sub becomeSubreaper {
    return unless $Config{archname} =~ /\Ax86_64-linux/;
    syscall(157, 36, 1, 0, 0, 0);    # prctl(PR_SET_CHILD_SUBREAPER, 1)
}

# A worker's own installation, instance and port; every path a run writes
# to is the same in all of the worker's runs.
sub prepareWorker {
    my ($index, $port) = @_;
    my $base = "$TOP/w$index";
    my $worker = { index => $index, base => $base, state => "$base/state", root => "$base/root",
        instance => "$base/root/$ID", units => "$base/units", port => $port, nosystemd => "$base/no-systemd",
        baselines => "$base/baselines" };
    make_path($worker->{state}, $worker->{units}, $worker->{nosystemd}, $worker->{baselines});
    chmod 0755, $base, $worker->{units};
    system('cp', '-a', $SAMPLE, $worker->{root}) == 0 or die "cannot copy $SAMPLE";
    my $made = runCommand($worker, [ $PROGRAM{install}, '-s', 'www.example.test', '-p', $port, '-i', $ID, '-u',
        $option{user}, '-d', "$worker->{instance}/docs", '-P', '7676', '-A', 'admin', '-W', 'secret', '-J',
        '/usr/lib/jvm/java' ], 'install');
    die "the creation failed (status $made->{status}): $made->{err}" unless $made->{status} eq '0';
    # The logs after a start without arguments and after one with -a, stopped.
    for my $kind (qw(plain address)) {
        my @words = $kind eq 'address' ? ('-a', $ADDRESS) : ();
        for my $script ([ 'startserv', @words ], ['stopserv']) {
            my $run = runCommand($worker, [ "$worker->{instance}/bin/$script->[0]", @{$script}[ 1 .. $#$script ] ],
                'baseline');
            die "$script->[0] failed (status $run->{status}): $run->{err}" unless $run->{status} eq '0';
            settle($worker);
        }
        system('cp', '-a', "$worker->{instance}/logs", "$worker->{baselines}/$kind") == 0 or die 'cannot copy logs';
    }
    return $worker;
}

# The mount namespace every run of the worker happens in: a /tmp of its
# own, a tmpfs that holds only the harness's directory (bound to where it
# is), and whatever the runs leave there. Its first process waits on a pipe
# for the worker to end it.
sub startNamespace {
    my ($worker) = @_;
    my $mount = "$worker->{base}/tmp";
    mkdir $mount or die "mkdir $mount: $!";
    pipe(my $holdRead, my $holdWrite) or die "pipe: $!";
    pipe(my $readyRead, my $readyWrite) or die "pipe: $!";
    my $pid = fork() // die "fork: $!";
    if ($pid == 0) {
        close($holdWrite);
        close($readyRead);
        open(STDIN, '<&', $holdRead) && open(STDOUT, '>&', $readyWrite) or POSIX::_exit(127);
        $ENV{PATH} = '/usr/sbin:/usr/bin:/sbin:/bin';
        my $script = 'mount -t tmpfs -o mode=1777 tmpfs "$1" && mkdir "$1/$2" && mount --bind "$3" "$1/$2" && '
          . 'mount --move "$1" /tmp && echo ready && exec cat';
        { no warnings 'exec'; exec('unshare', '--mount', '--propagation', 'private', '--', 'sh', '-c', $script, 'sh', $mount,
            basename($TOP), $TOP); }
        POSIX::_exit(127);
    }
    close($holdRead);
    close($readyWrite);
    my $ready = <$readyRead> // '';
    close($readyRead);
    die "the mount namespace of the runs could not be made\n" unless $ready eq "ready\n";
    @$worker{qw(holder hold)} = ($pid, $holdWrite);
}

sub endNamespace {
    my ($worker) = @_;
    return unless $worker->{holder};
    close($worker->{hold});
    waitpid($worker->{holder}, 0);
    delete $worker->{holder};
}

# /tmp as the worker's runs see it, the harness's own directory left out.
sub namespaceTmp {
    my ($worker) = @_;
    my $top = basename($TOP);
    return snapshotTree("/proc/$worker->{holder}/root/tmp", sub { $_[0] eq $top || $_[0] =~ m{\A\Q$top\E/} });
}

sub keepFaultyRun {
    my ($worker, $task) = @_;
    system('cp', '-a', $worker->{root}, "$TOP/fault-$task->{id}");
}

# --- runs ------------------------------------------------------------------------

# The command of `scenario` for the worker's instance, as its user runs it.
sub commandOf {
    my ($worker, $scenario) = @_;
    my ($program, @words) = @{ $scenario->{command} };
    my @command = $program eq 'ctl' ? ctlCommand($worker, @words, $ID) : ("$worker->{instance}/bin/$program", @words);
    return $scenario->{as} eq 'owner' ? asOwner(@command) : @command;
}

# instancectl told that no systemd manages the machine, and (where it
# takes one) given the worker's unit directory.
sub ctlCommand {
    my ($worker, $command, @words) = @_;
    my @units = $command =~ /\A(list|status)\z/ ? () : ('--unit-dir', $worker->{units});
    return ($PROGRAM{instancectl}, '--systemd-root', $worker->{nosystemd}, @units, $command, @words);
}

sub asOwner {
    return ('setpriv', "--reuid=$OWNER_UID", "--regid=$OWNER_GID", '--init-groups', '--', @_);
}

sub script {
    my ($worker, $name, @words) = @_;
    return ("$worker->{instance}/bin/$name", @words);
}

sub environment {
    my ($worker) = @_;
    my %environment = (PATH => '/usr/sbin:/usr/bin:/sbin:/bin', LC_ALL => 'C', LANG => 'C',
        ZORA_SERVER_HOME => $worker->{root}, INSTALL_CHECK_PORTS => 'no');
    $environment{ASAN_OPTIONS} = join(':', grep { defined && length } $ENV{ASAN_OPTIONS}, 'detect_leaks=0');
    $environment{UBSAN_OPTIONS} = $ENV{UBSAN_OPTIONS} if defined $ENV{UBSAN_OPTIONS};
    return \%environment;
}

# Runs a command (in the worker's mount namespace once there is one) in a
# process group of its own and waits for it, but not for what it leaves
# running (see settle). {status (exit status, "signal N" or "timeout"),
# out, err}.
sub runCommand {
    my ($worker, $command, $name) = @_;
    my ($outPath, $errPath) = ("$worker->{state}/$name.out", "$worker->{state}/$name.err");
    my @command = @$command;
    @command = ('nsenter', "--mount=/proc/$worker->{holder}/ns/mnt", '--', @command) if $worker->{holder};
    my $pid = fork() // die "fork: $!";
    if ($pid == 0) {
        setpgrp(0, 0);
        umask(022);
        %ENV = %{ environment($worker) };
        open(STDIN, '<', '/dev/null');
        open(STDOUT, '>', $outPath);
        open(STDERR, '>', $errPath);
        { no warnings 'exec'; exec { $command[0] } @command; }
        POSIX::_exit(127);
    }
    my $timedOut = 0;
    {
        local $SIG{ALRM} = sub { $timedOut = 1; kill 'KILL', -$pid };
        alarm $option{timeout};
        waitpid($pid, 0);
        alarm 0;
    }
    my $status = $?;
    my %result = (out => slurp($outPath), err => slurp($errPath));
    $result{status} = $timedOut ? 'timeout' : WIFSIGNALED($status) ? 'signal ' . WTERMSIG($status) : WEXITSTATUS($status);
    $result{status} = 'signal 9' if $result{status} eq '137';    # kill-at ends as the command ended
    return \%result;
}

# --- processes ---------------------------------------------------------------------

# pid => {ppid, state} of every process.
sub processTable {
    my %table;
    opendir(my $proc, '/proc') or die "cannot list /proc: $!";
    for my $pid (grep { /\A\d+\z/ } readdir $proc) {
        my $stat = slurp("/proc/$pid/stat");
        next unless $stat =~ /\A.*\)\s+(\S)\s+(\d+)/s;
        $table{$pid} = { state => $1, ppid => $2 };
    }
    closedir($proc);
    return \%table;
}

# The processes below this one (its namespace's holder excepted).
sub descendants {
    my ($worker) = @_;
    my $table = processTable();
    my %children;
    push @{ $children{ $table->{$_}{ppid} } }, $_ for keys %$table;
    my @found;
    my @queue = @{ $children{$$} // [] };
    while (my $pid = shift @queue) {
        next if $worker->{holder} && $pid == $worker->{holder};
        push @found, $pid;
        push @queue, @{ $children{$pid} // [] };
    }
    return map { { pid => $_, state => $table->{$_}{state} } } @found;
}

sub isLighttpd {
    my ($pid) = @_;
    my $exe = readlink("/proc/$pid/exe") // '';
    return basename($exe) eq 'lighttpd';
}

# The live lighttpd processes of the worker's instance.
sub serversOf {
    my ($worker) = @_;
    my $conf = "$worker->{instance}/logs/lighttpd.conf";
    my @found;
    my $table = processTable();
    for my $pid (sort { $a <=> $b } keys %$table) {
        next if $table->{$pid}{state} eq 'Z' || !isLighttpd($pid);
        push @found, $pid if grep { $_ eq $conf } split /\0/, slurp("/proc/$pid/cmdline");
    }
    return @found;
}

# ADDRESS:PORT of every TCP socket `pid` listens on, sorted.
sub listeningOf {
    my ($pid) = @_;
    my %held;
    if (opendir(my $fds, "/proc/$pid/fd")) {
        for (readdir $fds) { $held{$1} = 1 if (readlink("/proc/$pid/fd/$_") // '') =~ /\Asocket:\[(\d+)\]\z/ }
        closedir($fds);
    }
    return sort map { "$_->{address}:$_->{port}" } grep { $held{ $_->{inode} } } listeningSockets();
}

# {address, port, inode} of every listening TCP socket.
sub listeningSockets {
    my @sockets;
    for my $table ('/proc/net/tcp', '/proc/net/tcp6') {
        open(my $in, '<', $table) or next;
        <$in>;
        while (my $line = <$in>) {
            my @field = split ' ', $line;
            next unless ($field[3] // '') eq '0A';
            my ($hex, $port) = split /:/, $field[1];
            my $address = length $hex == 8 ? join('.', reverse map { hex } unpack('(A2)4', $hex)) : "[$hex]";
            push @sockets, { address => $address, port => hex $port, inode => $field[9] };
        }
        close($in);
    }
    return @sockets;
}

# The process that holds the instance's server lock, 0 for none.
sub lockHolder {
    my ($worker) = @_;
    my @status = stat("$worker->{instance}/logs/server.lock") or return 0;
    my ($dev, $ino) = @status[ 0, 1 ];
    my ($major, $minor) = ((($dev >> 8) & 0xfff) | (($dev >> 32) & ~0xfff), ($dev & 0xff) | (($dev >> 12) & ~0xff));
    for my $line (split /\n/, slurp('/proc/locks')) {
        next if $line =~ /->/;
        next unless $line =~ /\A\d+:\s+\S+\s+\S+\s+\S+\s+(\d+)\s+([0-9a-f]+):([0-9a-f]+):(\d+)\s/;
        return $1 if hex($2) == $major && hex($3) == $minor && $4 == $ino;
    }
    return 0;
}

# Waits until every process the runs left has ended but the instance's
# servers, each of which listens, reaping what ends. The processes still
# busy when the deadline passes, or an empty list.
sub settle {
    my ($worker) = @_;
    my $deadline = time + $SETTLE_SECONDS;
    my @busy;
    while (1) {
        1 while waitpid(-1, WNOHANG) > 0;
        @busy = grep { $_->{state} ne 'Z' && !(isLighttpd($_->{pid}) && (() = listeningOf($_->{pid}))) }
          descendants($worker);
        return () unless @busy;
        last if time > $deadline;
        sleep 0.02;
    }
    return map { "$_->{pid} (" . (slurp("/proc/$_->{pid}/comm") =~ s/\n//r) . ')' } @busy;
}

# Stops what runs of the worker's instance: its stopserv first, then, for
# what that leaves (a server without the lock), the signals themselves.
sub stopServers {
    my ($worker) = @_;
    return unless serversOf($worker);
    runCommand($worker, [ script($worker, 'stopserv', '--timeout', '10', '--kill') ], 'cleanup');
    for my $signal ('TERM', 'KILL') {
        my @left = serversOf($worker) or last;
        kill $signal, @left;
        my $deadline = time + 30;
        while (serversOf($worker) && time < $deadline) {
            1 while waitpid(-1, WNOHANG) > 0;
            sleep 0.02;
        }
    }
    settle($worker);
}

# What an earlier run left running that is no server (a fault already
# reported) is killed, so that it does not meddle with the next run.
sub clearLeftovers {
    my ($worker) = @_;
    my @left = map { $_->{pid} } grep { $_->{state} ne 'Z' && !isLighttpd($_->{pid}) } descendants($worker);
    kill 'KILL', @left if @left;
    settle($worker);
}

# At the end, whatever a failing harness may have left: every lighttpd
# started for an instance below the scratch directory.
sub stopEverything {
    my @left;
    my $table = processTable();
    for my $pid (keys %$table) {
        next if $table->{$pid}{state} eq 'Z' || !isLighttpd($pid);
        push @left, $pid if index(slurp("/proc/$pid/cmdline"), "$TOP/") >= 0;
    }
    return unless @left;
    kill 'TERM', @left;
    my $deadline = time + 30;
    while (time < $deadline && grep { kill(0, $_) && (processTable()->{$_}{state} // 'Z') ne 'Z' } @left) {
        1 while waitpid(-1, WNOHANG) > 0;
        sleep 0.02;
    }
    kill 'KILL', @left;
    1 while waitpid(-1, WNOHANG) > 0;
}

# --- the state of the instance ----------------------------------------------------------

# {serving => pid or 0, fault => text}: a server serves when exactly one
# lighttpd of the instance runs and holds the server lock.
sub servingState {
    my ($worker) = @_;
    my @servers = serversOf($worker);
    my $holder = lockHolder($worker);
    return { fault => "more than one server of the instance runs: @servers" } if @servers > 1;
    return { fault => "the server $servers[0] runs, but the lock is held by " . ($holder || 'nobody') }
      if @servers && $holder != $servers[0];
    return { fault => "the server lock is held by $holder, which is no server of the instance" }
      if !@servers && $holder;
    return { serving => $servers[0] // 0 };
}

# What instancectl status and list --json say of the instance: a fault
# unless they say running with the serving process exactly when one serves.
sub checkStatus {
    my ($worker, $serving) = @_;
    my $status = runCommand($worker, [ ctlCommand($worker, 'status', $ID) ], 'status');
    my $expected = $serving ? '0' : '3';
    return "status ended with $status->{status}, expected $expected: $status->{out}$status->{err}"
      unless $status->{status} eq $expected;
    return "status names another process: $status->{out}" if $serving && $status->{out} !~ /\b$serving\b/;
    my $list = runCommand($worker, [ ctlCommand($worker, 'list', '--json') ], 'list');
    my $decoded = eval { require JSON::PP; JSON::PP::decode_json($list->{out}) };
    return "list --json printed no JSON array (status $list->{status}): $list->{out}$list->{err}"
      unless ref $decoded eq 'ARRAY';
    my ($entry) = grep { $_->{id} eq $ID } @$decoded;
    my $state = $entry ? $entry->{state} : 'absent';
    return "list --json says $state while " . ($serving ? "$serving serves" : 'no server serves')
      unless $state eq ($serving ? 'running' : 'stopped');
    return "list --json names the process " . ($entry->{pid} // 'none') . " while $serving serves"
      if $serving && ($entry->{pid} // 0) != $serving;
    return undef;
}

# The address a server started with the record's words listens on.
sub recordedAddress {
    my ($worker) = @_;
    my @words = grep { !/\A#/ } split /\n/, slurp("$worker->{instance}/logs/startserv.args");
    return @words >= 2 && $words[0] eq '-a' ? $words[1] : $EVERY_ADDRESS;
}

# The names of the entries of the instance and of the unit directory, the
# name of the instance's unit the same for every worker.
sub entryNames {
    my ($worker) = @_;
    my %names = map { ("instance/$_" => 1) } keys %{ snapshotTree($worker->{instance}) };
    $names{ "units/$_" =~ s/server-instance-[^\/]*\.service/server-instance-INSTANCE.service/r } = 1
      for keys %{ snapshotTree($worker->{units}) };
    return \%names;
}

# The server root but for the instance, and the unit directory.
sub outsideSnapshot {
    my ($worker) = @_;
    my $root = snapshotTree($worker->{root}, sub { $_[0] eq '.instances.lock' || $_[0] =~ m{\A\Q$ID\E(/|\z)} });
    return { root => $root, units => snapshotTree($worker->{units}) };
}

# --- a task --------------------------------------------------------------------------------

sub fault { return { class => 'FAULT', reason => $_[0] } }

# The worker's instance in the state the scenario starts from: no server,
# the logs of a stopped start with or without -a, an empty unit directory,
# and, when asked, a server started as that start was.
sub prepareTask {
    my ($worker, $scenario) = @_;
    clearLeftovers($worker);
    stopServers($worker);
    my ($kind, $running) = split / /, $scenario->{before};
    remove_tree("$worker->{instance}/logs");
    system('cp', '-a', "$worker->{baselines}/$kind", "$worker->{instance}/logs") == 0 or die 'cannot restore the logs';
    remove_tree($worker->{units}, { keep_root => 1 });
    return unless $running;
    my $run = runCommand($worker, [ script($worker, 'startserv', $kind eq 'address' ? ('-a', $ADDRESS) : ()) ], 'before');
    die "the server to start from did not start (status $run->{status}): $run->{err}" unless $run->{status} eq '0';
    my @busy = settle($worker);
    die "the start to start from left @busy running" if @busy;
}

sub runTask {
    my ($worker, $task, $reference) = @_;
    my $scenario = $SCENARIOS{ $task->{scenario} };
    prepareTask($worker, $scenario);
    my $tmpBefore = namespaceTmp($worker);
    my $outsideBefore = outsideSnapshot($worker);
    my $report = "$worker->{state}/report";
    unlink($report);
    my $killed = runCommand($worker, [ $PROGRAM{'kill-at'}, '--kill', "$task->{process}:$task->{syscall}:$task->{n}",
        '--report', $report, '--', commandOf($worker, $scenario) ], 'killed');
    my $what = slurp($report) =~ s/\n\z//r;
    return fault("kill-at failed (status $killed->{status}): $killed->{err}") unless length $what;
    return { class => 'missed', reason => "the call was not reached (status $killed->{status})" }
      if $what eq 'not reached';
    my (undef, undef, undef, $comm) = split / /, $what;
    return { class => 'missed', reason => "killed $comm, not $task->{comm}: $what" } unless $comm eq $task->{comm};
    return fault("sanitizer report: $killed->{err}") if $killed->{err} =~ /(AddressSanitizer|runtime error:)/;
    return judge($worker, $scenario, $reference, $tmpBefore, $outsideBefore);
}

sub judge {
    my ($worker, $scenario, $reference, $tmpBefore, $outsideBefore) = @_;
    if (my @busy = settle($worker)) { return fault("the killed run left @busy running") }
    my $state = servingState($worker);
    return fault($state->{fault}) if $state->{fault};
    my $serving = $state->{serving};
    if (my $wrong = checkStatus($worker, $serving)) { return fault($wrong) }
    my $outcome = $serving ? 'serving' : 'stopped';
    if ($serving) {
        my @where = listeningOf($serving);
        my $restart = runCommand($worker, [ script($worker, 'restartserv') ], 'restart');
        my @busy = settle($worker);
        return fault("restartserv left @busy running") if @busy;
        return fault("restartserv ended with status $restart->{status}: $restart->{err}") unless $restart->{status} eq '0';
        my $again = servingState($worker);
        return fault("after restartserv: $again->{fault}") if $again->{fault};
        return fault('restartserv left no server running') unless $again->{serving};
        my @now = listeningOf($again->{serving});
        return fault("the server listened on @where, restartserv brought it back on @now") unless "@where" eq "@now";
        $outcome .= " on @where, restarted there";
    }
    if (my $wrong = stopAndCheck($worker, $scenario, $serving)) { return fault($wrong) }
    if (my $wrong = checkOutside($worker, $tmpBefore, $outsideBefore, $scenario)) { return fault($wrong) }
    if (my $wrong = runAgain($worker, $scenario, $reference, $tmpBefore)) { return fault($wrong) }
    return { class => 'ok', reason => "$outcome; stop and next run fine" };
}

sub writesUnit { return ($_[0]{command}[1] // '') eq 'unit' }

# The server stopped as the scenario's user would stop it: nothing of the
# instance runs afterwards, its port is free and status says stopped.
sub stopAndCheck {
    my ($worker, $scenario, $serving) = @_;
    my $ctl = ($scenario->{stop} // '') eq 'ctl';
    my $stop = runCommand($worker, [ $ctl ? ctlCommand($worker, 'stop', $ID) : script($worker, 'stopserv') ], 'stop');
    my $expected = $serving || $ctl ? '0' : '2';
    my $what = $ctl ? 'instancectl stop' : 'stopserv';
    return "$what ended with status $stop->{status}, expected $expected: $stop->{out}$stop->{err}"
      unless $stop->{status} eq $expected;
    if (my @busy = settle($worker)) { return "$what left @busy running" }
    if (my @servers = serversOf($worker)) { return "$what left the server @servers running" }
    if (my @listening = grep { $_->{port} == $worker->{port} } listeningSockets()) {
        return "after $what something still listens on port $worker->{port}";
    }
    return checkStatus($worker, 0);
}

# Nothing changed outside the instance: the namespace's /tmp, the unit
# directory (where the scenario writes no unit) and the rest of the server
# root.
sub checkOutside {
    my ($worker, $tmpBefore, $outsideBefore, $scenario) = @_;
    my @tmp = compareSnapshots($tmpBefore, namespaceTmp($worker));
    return "left in /tmp: @tmp" if @tmp;
    my $after = outsideSnapshot($worker);
    my @root = compareSnapshots($outsideBefore->{root}, $after->{root});
    return "changed in the server root outside the instance: @root" if @root;
    return undef if writesUnit($scenario);
    my @units = compareSnapshots($outsideBefore->{units}, $after->{units});
    return "changed in the unit directory: @units" if @units;
    return undef;
}

# The same command once more, not killed: it succeeds, leaves in the
# instance and the unit directory nothing a clean run does not leave,
# starts a server that listens where the record says, and nothing in /tmp.
sub runAgain {
    my ($worker, $scenario, $reference, $tmpBefore) = @_;
    my $again = runCommand($worker, [ commandOf($worker, $scenario) ], 'again');
    return "the next run ended with status $again->{status}: $again->{err}$again->{out}" unless $again->{status} eq '0';
    if (my @busy = settle($worker)) { return "the next run left @busy running" }
    my $names = entryNames($worker);
    my @extra = sort grep { !$reference->{$_} } keys %$names;
    return "left after the next run, which a clean run does not leave: @extra" if @extra;
    my $state = servingState($worker);
    return "after the next run: $state->{fault}" if $state->{fault};
    if (!writesUnit($scenario)) {
        return 'the next run left no server running' unless $state->{serving};
        my @where = listeningOf($state->{serving});
        my $recorded = recordedAddress($worker) . ":$worker->{port}";
        return "the next run's server listens on @where, its record says $recorded" unless "@where" eq $recorded;
        if (my $wrong = checkStatus($worker, $state->{serving})) { return "after the next run: $wrong" }
        if (my $wrong = stopAndCheck($worker, $scenario, $state->{serving})) { return "after the next run: $wrong" }
    }
    my @tmp = compareSnapshots($tmpBefore, namespaceTmp($worker));
    return "left in /tmp after the next run: @tmp" if @tmp;
    return undef;
}

# --- summary -------------------------------------------------------------------------------

sub summarise {
    my ($results, $tasks) = @_;
    my (%count, %byScenario);
    for my $result (@$results) {
        my $task = $tasks->[ $result->{id} ];
        $count{ $result->{class} }++;
        $byScenario{ $task->{scenario} }{ $result->{class} }++;
        next if $result->{class} eq 'ok';
        print "$result->{class}: $task->{scenario} $task->{process} $task->{role} $task->{step} $task->{syscall}"
          . " #$task->{n}: $result->{reason}\n  call: " . substr($task->{call}, 0, 300) . "\n";
    }
    my $missing = @$tasks - @$results;
    print "operation kill points: $missing runs produced no result\n" if $missing;
    for my $name (@SCENARIOS) {
        my $c = $byScenario{$name} // {};
        printf "  %-15s %4d ok, %d faults, %d missed\n", $name, $c->{ok} // 0, $c->{FAULT} // 0, $c->{missed} // 0;
    }
    my $faults = ($count{FAULT} // 0) + $missing;
    printf "operation kill points: %d runs (%s), %d jobs, %.0f s, %d faults found, %d calls missed\n",
      scalar @$results, $option{all} ? 'every call' : 'sampled', $option{jobs}, time - $started, $faults,
      $count{missed} // 0;
    return $faults ? 1 : 0;
}
