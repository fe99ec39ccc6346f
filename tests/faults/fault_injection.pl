#!/usr/bin/perl
# SPDX-License-Identifier: GPL-3.0-or-later
#
# fault_injection.pl - fails the system calls of one complete instance
# creation, one call per run, and checks what the tool makes of each failure.
#
#   fault_injection.pl --install BIN --sample SERVER_ROOT [--user NAME]
#                      [--mode full|quick] [--jobs N] [--timeout SECONDS]
#                      [--umask MASK] [--only SYSCALL,...] [--messages root.txt]
#                      [--keep] [--verbose]
#
# A counting run under strace lists the calls of the tool itself and of each
# run of the script generator.  Every later run copies the sample
# installation afresh and makes exactly one of those calls fail
# (strace -e inject=SYSCALL:error=ERR:when=N).  strace counts calls per
# syscall and per process, so the tool is traced without -f and the
# generator is reached through a stand-in for <perlHome>/perl that puts just
# the aimed-at generator run under its own strace.
#
# A run passes when either
#   - it exits 0 and the instance and the document root are identical to a
#     clean run's (content, mode, owner; backups.conf with its times masked),
#   - or it exits non-zero with a message that names a file or a step, the
#     instance directory is gone (its remains, if any, in broken.<id>[.n]),
#     and nothing else in the server root has changed.
# Anything else (a failure reported as success, a crash, a sanitizer report,
# a hang, a changed file outside the instance) is a fault.
#
# Runs as root (exit status 77, skipped, otherwise).  Everything happens
# below one mkdtemp directory in /tmp, removed at the end (kept with --keep).
# Exit status 0 when no fault was found, 1 otherwise, 2 when the harness
# itself cannot run.

use strict;
use warnings;
use Cwd qw(abs_path);
use File::Basename qw(dirname);
use File::Path qw(make_path remove_tree);
use File::Temp qw(tempdir);
use Getopt::Long;
use POSIX qw(WIFEXITED WEXITSTATUS WIFSIGNALED WTERMSIG);
use Time::HiRes qw(time sleep);
use lib dirname(abs_path($0));
use HarnessSupport qw(snapshotTree compareSnapshots slurp findProgram straceKnows runInWorkers);

# The error each family of calls is failed with; two errors mean two runs.
my %ERRORS = (
    open      => ['EACCES'],
    openat    => ['EACCES'],
    creat     => ['EACCES'],
    write     => [ 'ENOSPC', 'EIO' ],
    pwrite64  => [ 'ENOSPC', 'EIO' ],
    writev    => [ 'ENOSPC', 'EIO' ],
    read      => ['EIO'],
    mkdir     => [ 'EEXIST', 'ENOSPC' ],
    openat2   => ['EACCES'],
    mkdirat   => [ 'EEXIST', 'ENOSPC' ],
    rename    => [ 'EACCES', 'EXDEV' ],
    renameat  => [ 'EACCES', 'EXDEV' ],
    renameat2 => [ 'EACCES', 'EXDEV' ],
    link      => ['ENOSPC'],
    linkat    => ['ENOSPC'],
    chmod     => ['EPERM'],
    fchmod    => ['EPERM'],
    fchmodat  => ['EPERM'],
    chown     => ['EPERM'],
    lchown    => ['EPERM'],
    fchown    => ['EPERM'],
    fchownat  => ['EPERM'],
    fsync     => ['EIO'],
    fdatasync => ['EIO'],
    syncfs    => ['EIO'],
    close     => ['EIO'],
    flock     => ['ENOLCK'],
    faccessat => ['EACCES'],
    faccessat2 => ['EACCES'],
    statx     => ['EIO'],
);

# Families the quick mode fails at every call; the others are sampled.
my %ALWAYS_IN_QUICK = map { $_ => 1 } qw(write pwrite64 writev rename renameat renameat2 link linkat
  mkdir mkdirat chmod fchmod fchmodat chown lchown fchown fchownat fsync fdatasync syncfs);

my %option = (user => 'daemon', mode => 'full', jobs => 2, timeout => 60, umask => '022');
GetOptions(\%option, 'install=s', 'sample=s', 'user=s', 'mode=s', 'jobs=i', 'timeout=i', 'only=s', 'umask=s',
    'messages=s', 'keep', 'verbose')
  or usage();
usage() unless $option{install} && $option{sample} && $option{mode} =~ /\A(full|quick)\z/
  && $option{umask} =~ /\A0?[0-7]{3}\z/;
$option{jobs} = 1 if $option{jobs} < 1;
$option{jobs} = 9 if $option{jobs} > 9;    # worker directories keep one-digit names
$option{messages} //= dirname(abs_path($0)) . '/../../messages/root.txt';

sub usage {
    print STDERR "usage: $0 --install BIN --sample SERVER_ROOT [--user NAME] [--mode full|quick]"
      . " [--jobs N] [--timeout SECONDS] [--umask MASK] [--only SYSCALL,...] [--messages root.txt] [--keep] [--verbose]\n";
    exit 2;
}

# Two ports from the registry's program (beside the tool, in tests/ of the build).
sub testPorts {
    my ($program) = @_;
    open(my $ports, '-|', $program, '2') or harnessFailure("cannot run $program: $!");
    my @ports = split ' ', (<$ports> // '');
    close($ports);
    harnessFailure("no ports from $program") unless @ports == 2;
    return @ports;
}

sub harnessFailure {
    my ($text) = @_;
    print STDERR "fault injection: cannot run: $text\n";
    exit 2;
}

# The owner changes are part of what is tested: without root there is
# nothing meaningful to run (77: the test runner's "skipped").
if ($> != 0) {
    print "fault injection: skipped, needs root\n";
    exit 77;
}
my $STRACE = findProgram('strace') // harnessFailure('strace not found on PATH');
my $INSTALL = abs_path($option{install}) // harnessFailure("no executable $option{install}");
my $SAMPLE  = abs_path($option{sample}) // harnessFailure("no sample installation $option{sample}");
harnessFailure("$INSTALL is not executable") unless -x $INSTALL;
harnessFailure("$SAMPLE/lib/install is missing") unless -d "$SAMPLE/lib/install";
harnessFailure("unknown user $option{user}") unless defined getpwnam($option{user});
my $REAL_PERL = abs_path($^X);
my @STEP_PATTERNS = stepPatterns($option{messages});
my $SERVER_ID = 'web1';
# The ports of every run: leased from the tests' registry (tests/ports.cpp),
# as one another test of the run holds, or something listens on, would make
# every run a refusal.
my ($HTTP_PORT, $JMS_PORT) = testPorts(dirname($INSTALL) . '/tests/test-port');

my @FAMILIES = grep { straceKnows($STRACE, $_) } sort keys %ERRORS;
if ($option{only}) {
    my %wanted = map { $_ => 1 } split /,/, $option{only};
    @FAMILIES = grep { $wanted{$_} } @FAMILIES;
    harnessFailure("no known system call in --only $option{only}") unless @FAMILIES;
}
my $TRACE_SET = join(',', @FAMILIES);

my $TOP = tempdir('/tmp/fault-injection.XXXXXX');
chmod 0755, $TOP;
my $PARENT = $$;
my %WORKERS;          # pid => index, in the parent
my $CURRENT_RUN;      # process group of the run in progress, in a worker
$SIG{INT} = $SIG{TERM} = \&interrupted;
my $started = time;
my $exitStatus = eval { main() };
my $problem = $@;
if ($option{keep}) {
    print STDERR "fault injection: scratch directory kept: $TOP\n";
} else {
    remove_tree($TOP);
}
harnessFailure($problem) if $problem;
exit $exitStatus;

# Stopped from outside: end what this process started, and (in the parent)
# remove the scratch directory.
sub interrupted {
    if ($CURRENT_RUN) {
        kill 'KILL', -$CURRENT_RUN;
        waitpid($CURRENT_RUN, 0);
    }
    POSIX::_exit(3) if $$ != $PARENT;
    kill 'TERM', $_ for keys %WORKERS;
    waitpid($_, 0) for keys %WORKERS;
    unless ($option{keep}) {
        # A killed run's last processes may still be going away.
        for (1 .. 10) {
            remove_tree($TOP, { error => \my $ignored });
            last unless -e $TOP;
            sleep 0.2;
        }
    }
    print STDERR "fault injection: interrupted\n";
    exit 3;
}

sub main {
    my $counting = countCalls();
    my @tasks = selectTasks($counting);
    printf STDERR "fault injection: %d calls counted (tool %d, generator runs %s), %d runs to make\n",
      $counting->{total}, $counting->{perProcess}{main} // 0,
      join('+', map { $counting->{perProcess}{"perl$_"} // 0 } 1 .. $counting->{generatorRuns}),
      scalar @tasks;
    printf "fault injection: %d calls of the sanitizer runtime on /proc left alone\n", $counting->{skipped}
      if $counting->{skipped};
    my @results = runWorkers(\@tasks);
    return summarise(\@results, \@tasks);
}

# --- counting -----------------------------------------------------------

# Runs a clean creation with every family traced, in worker directory 0, and
# returns the calls: {calls => {process => {syscall => [line, ...]}}, ...}.
# A second clean run must give the same instance: otherwise the comparison
# of later runs would mean nothing.
sub countCalls {
    my $worker = prepareWorker(0);
    my $run = runCreation($worker, { count => 1 });
    die "the clean counting run failed (status $run->{status}): $run->{stderr}" if $run->{status} ne "0";
    my $first = snapshotOutcome($worker);
    my %calls;
    $calls{main} = parseStraceLog("$worker->{state}/main.log");
    my $generatorRuns = 0;
    while (-e "$worker->{state}/perl." . ($generatorRuns + 1) . '.log') {
        $generatorRuns++;
        $calls{"perl$generatorRuns"} = parseStraceLog("$worker->{state}/perl.$generatorRuns.log");
    }
    die 'the counting run never ran the script generator' unless $generatorRuns;
    my $again = runCreation($worker, {});
    die "the second clean run failed (status $again->{status}): $again->{stderr}" if $again->{status} ne "0";
    my @differences = compareSnapshots($first->{instance}, snapshotOutcome($worker)->{instance});
    die "two clean runs made different instances: @differences" if @differences;
    my (%perProcess, $total);
    for my $process (keys %calls) {
        for my $lines (values %{ $calls{$process} }) {
            $perProcess{$process} += @$lines;
            $total += @$lines;
        }
    }
    return { calls => \%calls, generatorRuns => $generatorRuns, perProcess => \%perProcess, total => $total };
}

sub parseStraceLog {
    my ($path) = @_;
    my %calls;
    open(my $in, '<', $path) or die "cannot read $path: $!";
    while (my $line = <$in>) {
        next unless $line =~ /\A(\w+)\(/;
        next unless $ERRORS{$1};
        chomp $line;
        push @{ $calls{$1} }, $line;
    }
    close($in);
    return \%calls;
}

# Every (process, call, error) in full mode. Quick mode keeps every write,
# rename, directory, mode, owner and sync call and a fixed sample of the
# opens, reads and closes: every third in the tool, every fifth in the first
# generator run, none in the others.
sub selectTasks {
    my ($counting) = @_;
    my @tasks;
    for my $process (sort processOrder keys %{ $counting->{calls} }) {
        for my $syscall (sort keys %{ $counting->{calls}{$process} }) {
            my $lines = $counting->{calls}{$process}{$syscall};
            for my $n (1 .. @$lines) {
                next unless inQuickSample($process, $syscall, $n);
                if (isSanitizerRuntimeCall($lines->[ $n - 1 ])) {
                    $counting->{skipped}++;
                    next;
                }
                for my $error (@{ $ERRORS{$syscall} }) {
                    push @tasks, { process => $process, syscall => $syscall, n => $n, error => $error,
                        call => $lines->[ $n - 1 ], id => scalar @tasks };
                }
            }
        }
    }
    return @tasks;
}

# A sanitizer runtime reads its options and the memory map from /proc before
# the program starts (the tool itself reads nothing there); failing those
# reads tests the runtime, not the tool: with its options lost, LeakSanitizer
# starts and gives up under ptrace.
sub isSanitizerRuntimeCall {
    my ($call) = @_;
    return $call =~ m{/proc/(self|\d+)/(cmdline|environ|maps|auxv|status|stat)\b};
}

sub processOrder {
    return -1 if $a eq 'main';
    return 1  if $b eq 'main';
    return $a cmp $b;
}

sub inQuickSample {
    my ($process, $syscall, $n) = @_;
    return 1 if $option{mode} eq 'full' || $ALWAYS_IN_QUICK{$syscall};
    return $n % 3 == 1 if $process eq 'main';
    return $n % 5 == 1 if $process eq 'perl1';
    return 0;
}

# --- workers ------------------------------------------------------------

# Each worker has its own directory of a fixed name, so that the paths
# written into an instance are the same in all of its runs; its reference is
# a clean run made there.
sub runWorkers {
    my ($tasks) = @_;
    my @results;
    for my $line (runInWorkers(top => $TOP, jobs => $option{jobs}, tasks => $tasks, running => \%WORKERS,
        work => \&workerMain))
    {
        my ($id, $class, $status, $reason, $stderr) = split /\t/, $line, 5;
        push @results, { id => $id, class => $class, status => $status, reason => $reason, stderr => unescape($stderr) };
    }
    return sort { $a->{id} <=> $b->{id} } @results;
}

sub workerMain {
    my ($index, $tasks) = @_;
    my $worker = prepareWorker($index);
    my $clean = runCreation($worker, {});
    die "worker $index: the clean run failed: $clean->{stderr}" if $clean->{status} ne "0";
    $worker->{reference} = snapshotOutcome($worker);
    my @changed = compareSnapshots($clean->{before}, $worker->{reference}{outside});
    die "worker $index: the clean run changed files outside the instance: @changed" if @changed;
    open(my $out, '>', "$TOP/results.$index") or die "cannot write results: $!";
    $out->autoflush(1);
    for my $task (@$tasks) {
        my $verdict = runTask($worker, $task);
        print {$out} join("\t", $task->{id}, $verdict->{class}, $verdict->{status}, $verdict->{reason},
            escape($verdict->{stderr})), "\n";
        if ($option{verbose}) {
            printf STDERR "%-8s %-6s %-9s #%-4d %-7s %s\n", $verdict->{class}, $task->{process},
              $task->{syscall}, $task->{n}, $task->{error}, $verdict->{reason};
        }
    }
    close($out) or die "cannot write results: $!";
}

sub prepareWorker {
    my ($index) = @_;
    my $base = "$TOP/w$index";
    my $worker = { base => $base, run => "$base/run", state => "$base/state", perlHome => "$base/perl-home" };
    make_path($worker->{state}, $worker->{perlHome});
    writePerlStandIn($worker);
    return $worker;
}

# <perlHome>/perl for the tool: counts its runs and puts the run the harness
# aims at (or, when counting, every run) under strace.
sub writePerlStandIn {
    my ($worker) = @_;
    my $path = "$worker->{perlHome}/perl";
    open(my $out, '>', $path) or die "cannot write $path: $!";
    print {$out} <<"EOF";
#!/bin/sh
state='$worker->{state}'
n=\$(( \$(cat "\$state/perl-runs" 2>/dev/null || echo 0) + 1 ))
echo "\$n" > "\$state/perl-runs"
if [ -n "\$FAULT_COUNT" ]; then
  exec '$STRACE' -qq -y -o "\$state/perl.\$n.log" -e trace="\$FAULT_TRACE" '$REAL_PERL' "\$@"
fi
if [ "\$n" = "\${FAULT_TARGET:-0}" ]; then
  exec '$STRACE' -qq -o "\$state/inject.log" -e trace="\$FAULT_TRACE" -e inject="\$FAULT_INJECT" '$REAL_PERL' "\$@"
fi
exec '$REAL_PERL' "\$@"
EOF
    close($out) or die "cannot write $path: $!";
    chmod 0755, $path;
}

# --- one run ------------------------------------------------------------

sub freshInstallation {
    my ($worker) = @_;
    remove_tree($worker->{run}) if -e $worker->{run};
    unlink glob("$worker->{state}/*");
    mkdir $worker->{run} or die "mkdir $worker->{run}: $!";
    system('cp', '-a', $SAMPLE, "$worker->{run}/root") == 0 or die "cannot copy $SAMPLE";
}

# Runs one creation in a fresh copy. $how: {count => 1} traces everything,
# {inject => task} fails that task's call. Returns status (exit status,
# "signal N" or "timeout"), stderr and whether strace injected anything.
sub runCreation {
    my ($worker, $how) = @_;
    freshInstallation($worker);
    my $root = "$worker->{run}/root";
    my $before = snapshotOutside($worker);
    my @tool = ($INSTALL, '-s', 'www.example.test', '-p', $HTTP_PORT, '-i', $SERVER_ID, '-u', $option{user},
        '-d', "$worker->{run}/docs", '-P', $JMS_PORT, '-A', 'admin', '-W', 'secret', '-J', '/usr/lib/jvm/java');
    my %environment = (PATH => '/usr/sbin:/usr/bin:/sbin:/bin', LC_ALL => 'C', LANG => 'C',
        ZORA_SERVER_HOME => $root, INSTALL_PERL_HOME => $worker->{perlHome});
    # A pass with root as the server user must allow it.
    $environment{INSTALL_ALLOW_ROOT_USER} = 'yes' if getpwnam($option{user}) == 0;
    # LeakSanitizer cannot work under ptrace; the other checks can.
    $environment{ASAN_OPTIONS} = join(':', grep { defined && length } $ENV{ASAN_OPTIONS}, 'detect_leaks=0');
    $environment{UBSAN_OPTIONS} = $ENV{UBSAN_OPTIONS} if defined $ENV{UBSAN_OPTIONS};
    my @command = @tool;
    my $log = "$worker->{state}/inject.log";
    if ($how->{count}) {
        @command = ($STRACE, '-qq', '-y', '-o', "$worker->{state}/main.log", '-e', "trace=$TRACE_SET", @tool);
        %environment = (%environment, FAULT_COUNT => 1, FAULT_TRACE => $TRACE_SET);
    } elsif (my $task = $how->{inject}) {
        my $injection = "$task->{syscall}:error=$task->{error}:when=$task->{n}";
        if ($task->{process} eq 'main') {
            @command = ($STRACE, '-qq', '-o', $log, '-e', "trace=$task->{syscall}", '-e', "inject=$injection", @tool);
        } else {
            (my $target = $task->{process}) =~ s/\Aperl//;
            %environment = (%environment, FAULT_TARGET => $target, FAULT_TRACE => $task->{syscall},
                FAULT_INJECT => $injection);
        }
    }
    my ($status, $stderr) = runWithTimeout(\@command, \%environment, "$worker->{state}/stderr");
    my $injected = -e $log && slurp($log) =~ /\(INJECTED\)/;
    return { status => $status, stderr => $stderr, injected => $injected, before => $before };
}

sub runWithTimeout {
    my ($command, $environment, $stderrPath) = @_;
    my $pid = fork() // die "fork: $!";
    if ($pid == 0) {
        setpgrp(0, 0);
        umask(oct($option{umask}));
        %ENV = %$environment;
        open(STDIN, '<', '/dev/null');
        open(STDOUT, '>', "$stderrPath.out");
        open(STDERR, '>', $stderrPath);
        { no warnings "exec"; exec { $command->[0] } @$command; }
        POSIX::_exit(127);
    }
    $CURRENT_RUN = $pid;
    my $deadline = time + $option{timeout};
    my $status;
    while (1) {
        my $done = waitpid($pid, POSIX::WNOHANG());
        if ($done == $pid) { $status = $?; last; }
        if (time > $deadline) {
            kill 'KILL', -$pid;    # the process group this run started
            waitpid($pid, 0);
            $CURRENT_RUN = undef;
            return ('timeout', slurp($stderrPath));
        }
        sleep 0.005;
    }
    $CURRENT_RUN = undef;
    my $output = slurp($stderrPath) . slurp("$stderrPath.out");
    return ('signal ' . WTERMSIG($status), $output) if WIFSIGNALED($status);
    return (WEXITSTATUS($status), $output);
}

sub runTask {
    my ($worker, $task) = @_;
    my $run = runCreation($worker, { inject => $task });
    my $verdict = judge($worker, $task, $run);
    $verdict->{status} = $run->{status};
    $verdict->{stderr} = $run->{stderr};
    keepFaultyRun($worker, $task) if $verdict->{class} eq 'FAULT' && $option{keep};
    return $verdict;
}

sub keepFaultyRun {
    my ($worker, $task) = @_;
    my $target = "$TOP/fault-$task->{id}";
    system('cp', '-a', $worker->{run}, $target);
}

# --- judging ------------------------------------------------------------

sub fault    { return { class => 'FAULT',   reason => $_[0] } }
sub verified { return { class => 'success', reason => $_[0] } }
sub reported { return { class => 'failure', reason => $_[0] } }

sub judge {
    my ($worker, $task, $run) = @_;
    my $stderr = $run->{stderr};
    return fault('hang: no end within the time limit') if $run->{status} eq 'timeout';
    return fault('sanitizer report') if $stderr =~ /(AddressSanitizer|LeakSanitizer|runtime error:)/;
    return fault("killed by $run->{status}") if $run->{status} =~ /\Asignal/;
    my $injectedNote = $run->{injected} ? '' : ' (the call was not reached)';

    my $outcome = snapshotOutcome($worker);
    my @outside = compareSnapshots($run->{before}, $outcome->{outside});
    if ($run->{status} eq "0") {
        return fault("success reported, but files outside the instance changed: @outside") if @outside;
        return fault("success reported, but $outcome->{setAside} exists") if $outcome->{setAside};
        my @instance = compareSnapshots($worker->{reference}{instance}, $outcome->{instance});
        return fault("success reported, but the instance differs: @instance") if @instance;
        my @docs = compareSnapshots($worker->{reference}{docs}, $outcome->{docs});
        return fault("success reported, but the document root differs: @docs") if @docs;
        return verified("instance identical$injectedNote");
    }
    return fault("failure without injection$injectedNote") unless $run->{injected};
    my $status = $run->{status};
    my $loader = $status == 127 && $stderr =~ /error while loading shared libraries/;
    my $inUse = $status == 254 && $stderr =~ /already in use/;
    return fault("unexpected exit status $status") unless $status == 3 || $loader || $inUse;
    return fault('failure without a message') if $stderr !~ /\S/;
    return fault('the message names no file and no step') unless namesFileOrStep($stderr);
    return fault("the instance directory $SERVER_ID is left in place") if $outcome->{instance}{'.'};
    return fault("files outside the instance changed: @outside") if @outside;
    if ($outcome->{setAside}) {
        return fault("the remains moved to $outcome->{setAside}, but the message does not say so")
          unless index($stderr, $outcome->{setAside}) >= 0;
    }
    my $named = namesInjectedFile($stderr, $task, $worker) ? 'names the failed file' : 'names a file or step';
    return reported("status $status, $named" . ($outcome->{setAside} ? ', remains set aside' : ''));
}

sub namesFileOrStep {
    my ($text) = @_;
    return 1 if $text =~ m{/[^\s/]};
    for my $pattern (@STEP_PATTERNS) {
        return 1 if $text =~ $pattern;
    }
    return 0;
}

# Whether the message names the file the failed call worked on (as the
# counting run saw it): only for the statistics, not a verdict.
sub namesInjectedFile {
    my ($text, $task, $worker) = @_;
    my $call = $task->{call} // '';
    my ($path) = $call =~ /<([^<>]+)>/;
    ($path) = $call =~ /\("([^"]+)"/ unless defined $path && $path =~ m{\A/tmp/};
    return 0 unless defined $path;
    (my $base = "$TOP/w0/") =~ s{/+}{/}g;
    $path =~ s{\A\Q$base\E}{"$TOP/" . ($worker->{base} =~ m{/(w\d)\z})[0] . '/'}e;
    return index($text, $path) >= 0;
}

# What counts as naming a step: the tool's own messages (each text of the
# message catalogue, its arguments free), the front end's fixed texts and
# the dynamic loader's complaint about a library it cannot load.
sub stepPatterns {
    my ($path) = @_;
    my @patterns = (qr/already in use/, qr/^Installation settings: /m, qr/error while loading shared libraries/);
    open(my $in, '<', $path) or harnessFailure("cannot read the message texts $path: $!");
    while (my $line = <$in>) {
        next unless $line =~ /\A\s*(ERR_\w+)\s*\{\s*"(.*)"\s*\}/;
        my ($key, $text) = ($1, $2);
        $text =~ s/\\"/"/g;
        my $pattern = join('.*?', map { quotemeta } split /\{\d\}/, $text, -1);
        push @patterns, qr/\Q$key\E/, qr/$pattern/s;
    }
    close($in);
    return @patterns;
}

# --- snapshots ----------------------------------------------------------

# What a run left: the instance, the document root, the rest of the server
# root, and the set-aside name used (if any).
sub snapshotOutcome {
    my ($worker) = @_;
    my $root = "$worker->{run}/root";
    my @setAside = sort grep { -e $_ } glob("$root/broken.$SERVER_ID $root/broken.$SERVER_ID.*");
    my $outside = snapshotOutside($worker);
    return {
        instance        => snapshotTree("$root/$SERVER_ID", undef, 1),
        docs            => snapshotTree("$worker->{run}/docs"),
        outside         => $outside,
        setAside        => $setAside[-1] // '',
    };
}

sub snapshotOutside {
    my ($worker) = @_;
    my $root = "$worker->{run}/root";
    # The lock of the instances root is made by the first run there and kept.
    my $outside = snapshotTree($root, sub {
        my ($relative) = @_;
        return $relative eq '.instances.lock'
            || $relative =~ m{\A(\Q$SERVER_ID\E|broken\.\Q$SERVER_ID\E(\.\d+)?)(/|\z)};
    });
    # Nothing but the installation and the document root may appear beside them.
    opendir(my $dir, $worker->{run}) or die "cannot list $worker->{run}: $!";
    for my $name (readdir $dir) {
        next if $name eq "." || $name eq ".." || $name eq "root" || $name eq "docs";
        $outside->{"../$name"} = "unexpected entry";
    }
    closedir($dir);
    return $outside;
}

# --- summary ------------------------------------------------------------

sub summarise {
    my ($results, $tasks) = @_;
    my %count = (failure => 0, success => 0, FAULT => 0);
    my %bySyscall;
    for my $result (@$results) {
        $count{ $result->{class} }++;
        my $task = $tasks->[ $result->{id} ];
        $bySyscall{ $task->{syscall} }{ $result->{class} }++;
    }
    for my $result (grep { $_->{class} eq 'FAULT' } @$results) {
        my $task = $tasks->[ $result->{id} ];
        my $stderr = $result->{stderr} // '';
        $stderr =~ s/\s+\z//;
        $stderr = substr($stderr, 0, 600);
        print "FAULT: $task->{process} $task->{syscall} #$task->{n} $task->{error}: $result->{reason}\n"
          . "  call: " . substr($task->{call} // '', 0, 300) . "\n"
          . "  status $result->{status}, stderr: $stderr\n";
    }
    my $missing = @$tasks - @$results;
    print "fault injection: $missing runs produced no result\n" if $missing;
    for my $syscall (sort keys %bySyscall) {
        my $c = $bySyscall{$syscall};
        printf "  %-10s %4d failures reported, %4d successes verified, %d faults\n", $syscall,
          $c->{failure} // 0, $c->{success} // 0, $c->{FAULT} // 0;
    }
    printf "fault injection: mode %s, user %s, umask %s, %d jobs, %.0f s\n", $option{mode}, $option{user},
      $option{umask}, $option{jobs}, time - $started;
    my $faults = $count{FAULT} + $missing;
    printf "fault injection: %d runs, %d failures reported, %d successes verified, %d faults found\n",
      scalar @$results, $count{failure}, $count{success}, $faults;
    return $faults ? 1 : 0;
}

# --- small helpers ------------------------------------------------------

sub escape {
    my ($text) = @_;
    $text //= '';
    $text =~ s/\\/\\\\/g;
    $text =~ s/\n/\\n/g;
    $text =~ s/\t/\\t/g;
    return $text;
}

sub unescape {
    my ($text) = @_;
    $text //= '';
    $text =~ s/\\(.)/$1 eq 'n' ? "\n" : $1 eq 't' ? "\t" : $1/ge;
    return $text;
}
