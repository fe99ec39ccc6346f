#!/usr/bin/perl
# SPDX-License-Identifier: GPL-3.0-or-later
#
# kill_points.pl - kills a creation (install, run as root for the server
# user) or a removal (instancectl remove) with SIGKILL at one of its system
# calls, one point per run, and checks what every tool then makes of what
# the run left: instancectl list (table and JSON), install -n, install
# itself, instancectl remove, and a creation after it.
#
#   kill_points.pl --install BIN --instancectl BIN --sample SERVER_ROOT
#                  [--user NAME] [--all | --points N] [--scenarios LIST]
#                  [--jobs N] [--timeout SECONDS] [--keep] [--verbose] [--list]
#
# Scenarios: create-outside and create-inside kill a creation whose new
# document root lies outside the instance (below a directory it makes too)
# or inside it; remove-outside and remove-inside kill the removal of a
# complete instance of each kind; remove-incomplete kills the removal of a
# creation that was itself killed once its document root was made and
# handed over.
#
# A counting run under strace lists the calls of the program that change
# something on disk or in its processes (opens that write or create, writes,
# directories, renames, links, removals, modes, owners, syncs, the lock,
# forks and waits, and the final exit); strace counts calls per system call,
# so "kill before the Nth openat" is `-e inject=openat:signal=KILL:when=N`,
# which stops the program before that call runs. A process the program
# started (the script generator) is killed with it, as a power cut would.
# By default a sample is taken: the first and last call of every step (the
# claim, the mark, each step of the creation, the lock, the note, the move,
# the walk, the end) and evenly spread calls up to --points per scenario;
# --all takes every call.
#
# After each kill, every tool must name the instance the same way:
#   - list and list --json agree; an instance is listed "stopped" only when
#     it is whole (identical to a clean run's), else "incomplete" or
#     "removing";
#   - install -n and install refuse an unfinished one with the way to clear
#     it ("instancectl remove web1"), a whole one as in use, and change
#     nothing;
#   - instancectl remove removes an incomplete creation with every directory
#     it made, and finishes an unfinished removal; a document root outside
#     the instance, or kept inside it, comes out as it went in;
#   - the next creation is identical to a clean run's, its document root
#     handed over as a clean run hands it over;
#   - nothing else in the server root or beside it has changed.
#
# Runs as root (exit status 77, skipped, otherwise). Everything happens
# below one mkdtemp directory in /tmp, removed at the end (kept with
# --keep). Exit status 0 when no fault was found, 1 otherwise, 2 when the
# harness itself cannot run.

use strict;
use warnings;
use Config;
use Cwd qw(abs_path);
use File::Basename qw(dirname);
use File::Path qw(make_path remove_tree);
use File::Temp qw(tempdir);
use Getopt::Long;
use POSIX qw(WEXITSTATUS WIFSIGNALED WTERMSIG);
use Time::HiRes qw(time);
use lib dirname(abs_path($0));
use HarnessSupport qw(snapshotTree compareSnapshots slurp findProgram straceKnows runInWorkers);

# The calls after which something on disk, or a process, can be different.
my @FAMILIES = qw(mkdir mkdirat open openat openat2 creat write pwrite64 writev rename renameat renameat2 link
  linkat symlink symlinkat unlink unlinkat rmdir chmod fchmod fchmodat chown lchown fchown fchownat fsync
  fdatasync syncfs ftruncate flock clone clone3 fork vfork wait4 exit_group);
# Opens count only when they may write or create.
my $WRITING_OPEN = qr/O_WRONLY|O_RDWR|O_CREAT|O_TRUNC|O_TMPFILE/;

# The sample of each scenario: the first call of every step (`steps`) and
# `spread` more spread evenly over all of its calls.
my %SCENARIOS = (
    'create-outside'    => { kill => 'create', docs => 'outside', steps => 1, spread => 0 },
    'create-inside'     => { kill => 'create', docs => 'inside',  steps => 0, spread => 5 },
    'remove-outside'    => { kill => 'remove', docs => 'outside', steps => 1, spread => 0 },
    'remove-inside'     => { kill => 'remove', docs => 'inside',  steps => 0, spread => 4 },
    'remove-incomplete' => { kill => 'remove', docs => 'outside', steps => 1, spread => 0, first => 'incomplete' },
);
my @SCENARIO_ORDER = qw(create-outside create-inside remove-outside remove-inside remove-incomplete);

my %option = (user => 'daemon', jobs => 2, timeout => 120);
GetOptions(\%option, 'install=s', 'instancectl=s', 'sample=s', 'user=s', 'all', 'points=i', 'scenarios=s', 'jobs=i',
    'timeout=i', 'keep', 'verbose', 'list')
  or usage();
usage() unless $option{install} && $option{instancectl} && $option{sample};
$option{jobs} = 1 if $option{jobs} < 1;
$option{jobs} = 9 if $option{jobs} > 9;    # worker directories keep one-digit names

sub usage {
    print STDERR "usage: $0 --install BIN --instancectl BIN --sample SERVER_ROOT [--user NAME] [--all | --points N]"
      . " [--scenarios LIST] [--jobs N] [--timeout SECONDS] [--keep] [--verbose]\n";
    exit 2;
}

sub harnessFailure {
    my ($text) = @_;
    print STDERR "kill points: cannot run: $text\n";
    exit 2;
}

if ($> != 0) {
    print "kill points: skipped, needs root\n";
    exit 77;
}
my $STRACE = findProgram('strace') // harnessFailure('strace not found on PATH');
my $INSTALL = abs_path($option{install}) // harnessFailure("no executable $option{install}");
my $CTL = abs_path($option{instancectl}) // harnessFailure("no executable $option{instancectl}");
my $SAMPLE = abs_path($option{sample}) // harnessFailure("no sample installation $option{sample}");
harnessFailure("unknown user $option{user}") unless defined getpwnam($option{user});
my @SCENARIOS = $option{scenarios} ? split(/,/, $option{scenarios}) : @SCENARIO_ORDER;
for (@SCENARIOS) { harnessFailure("unknown scenario $_") unless $SCENARIOS{$_} }
my $ID = 'web1';
my $TRACED = join(',', grep { straceKnows($STRACE, $_) } @FAMILIES);

my $TOP = tempdir('/tmp/kill-points.XXXXXX');
chmod 0755, $TOP;
my $started = time;
my $exitStatus = eval { main() };
my $problem = $@;
if ($option{keep}) {
    print STDERR "kill points: scratch directory kept: $TOP\n";
} else {
    remove_tree($TOP);
}
harnessFailure($problem) if $problem;
exit $exitStatus;

sub main {
    my @tasks;
    for my $name (@SCENARIOS) {
        my $points = countPoints($name);
        my $scenario = $SCENARIOS{$name};
        my @chosen = $option{all} ? @$points
          : samplePoints($points, $scenario->{steps}, $option{points} // $scenario->{spread});
        printf STDERR "kill points: %s: %d calls that change something, %d killed\n", $name, scalar @$points,
          scalar @chosen;
        if ($option{verbose}) {
            my @steps;
            for (@$points) { push @steps, $_->{step} unless @steps && $steps[-1] eq $_->{step} }
            print STDERR "  steps: ", join(', ', @steps), "\n";
        }
        if ($option{list}) {
            printf "%-17s %-17s %-10s #%-4d %s\n", $name, $_->{step}, $_->{syscall}, $_->{n}, substr($_->{call}, 0, 140)
              for @$points;
        }
        push @tasks, map { { %$_, scenario => $name } } @chosen;
    }
    return 0 if $option{list};
    $tasks[$_]{id} = $_ for 0 .. $#tasks;
    my @results = runWorkers(\@tasks);
    return summarise(\@results, \@tasks);
}

# --- points ------------------------------------------------------------------

# Every call of the scenario's killed program that changes something, in
# order: {syscall, n (its number among the calls of that name), call, step}.
sub countPoints {
    my ($name) = @_;
    my $worker = prepareWorker(0, $name);
    prepareScenario($worker);
    my $log = "$worker->{state}/count.log";
    my $run = runCommand([ $STRACE, '-qq', '-y', '-o', $log, '-e', "trace=$TRACED", killedCommand($worker) ],
        $worker, 'count');
    # A removal that keeps a document root inside the instance fails as such.
    my $expected = $worker->{scenario}{kill} eq 'remove' && $worker->{docsKind} eq 'inside' ? '2' : '0';
    die "$name: the counting run failed (status $run->{status}): $run->{err}$run->{out}"
      unless $run->{status} eq $expected;
    my (%seen, @points);
    my ($step, $current) = ('start', -1);
    open(my $in, '<', $log) or die "cannot read $log: $!";
    while (my $line = <$in>) {
        next unless $line =~ /\A(\w+)\(/;
        my $syscall = $1;
        my $n = ++$seen{$syscall};
        chomp $line;
        next if $syscall =~ /\A(open|openat|openat2)\z/ && $line !~ $WRITING_OPEN;
        ($step, $current) = stepOf($worker, $line, $current);
        push @points, { syscall => $syscall, n => $n, call => $line, step => $step };
    }
    close($in);
    return \@points;
}

# The step a call belongs to: the last step whose first call has been
# seen, each known by a call that only it makes.
sub stepOf {
    my ($worker, $call, $current) = @_;
    my ($docs, $instance) = (quotemeta $worker->{docs}, quotemeta "$worker->{root}/$ID");
    my $removal = quotemeta "$worker->{root}/.removing.$ID";
    my @steps = $worker->{scenario}{kill} eq 'create' ? (
        [ lock           => qr/\Aflock/ ],
        [ claim          => qr/\Amkdir(at)?\(.*"$instance"/ ],
        [ mark           => qr/\.incomplete>/ ],
        [ subdirectories => qr/\Amkdir(at)?\(.*"$instance\/config"/ ],
        [ scripts        => qr/\A(clone3?|fork|vfork)\(/ ],
        [ catalogue      => qr/backups\.conf", O_WRONLY/ ],
        [ configuration  => qr/init\.conf"/ ],
        [ templates      => qr/certmap\.conf"/ ],
        [ record         => qr/answers\.conf"/ ],
        [ 'document root' => qr/\.incomplete\.new|$docs/ ],
        [ 'catalogue written' => qr/\.backups\.conf\./ ],
        [ permissions    => qr/\Af?chmod\(\d+<$instance\/config>/ ],
        [ 'hand-over'    => qr/\Afchown(at)?\(\d+<$instance>/ ],
        [ sync           => qr/\Asyncfs/ ],
        [ publication    => qr/\Aunlinkat\(.*"\.incomplete"/ ],
        [ 'exit'         => qr/\Aexit_group/ ],
      ) : (
        [ lock           => qr/\Aflock/ ],
        [ removal        => qr/\Amkdir(at)?\(.*\.removing\.\Q$ID\E"/ ],
        [ note           => qr/note\.new/ ],
        [ move           => qr/\Arename.*"tree"/ ],
        [ 'take-back'    => qr/$docs|\/site[\/">"]/ ],
        [ walk           => qr/\A(unlinkat|fchown|fchmod)\(\d+<$removal\/tree/ ],
        [ record         => qr/\Aunlinkat\(.*"answers\.conf"/ ],
        [ end            => qr/\Aunlinkat\(.*"note"|\Arename.*"tree".*"\Q$ID\E"/ ],
        [ 'exit'         => qr/\Aexit_group/ ],
      );
    for my $index (reverse 0 .. $#steps) {
        return ($steps[$index][0], $index) if $index > $current && $call =~ $steps[$index][1];
    }
    return ($current < 0 ? 'start' : $steps[$current][0], $current);
}

# The first call of every step (when `steps`), then `spread` calls spread
# evenly over all of them.
sub samplePoints {
    my ($points, $steps, $spread) = @_;
    my %chosen;
    for my $i (0 .. $#$points) {
        $chosen{$i} = 1 if $steps && ($i == 0 || $points->[ $i - 1 ]{step} ne $points->[$i]{step});
    }
    $chosen{ int(($_ + 0.5) * @$points / $spread) } = 1 for 0 .. $spread - 1;
    return map { $points->[$_] } sort { $a <=> $b } grep { $_ < @$points } keys %chosen;
}

# --- workers -------------------------------------------------------------------

sub runWorkers {
    my ($tasks) = @_;
    my @results;
    for my $line (runInWorkers(top => $TOP, jobs => $option{jobs}, tasks => $tasks, work => \&workerMain)) {
        my ($id, $class, $reason) = split /\t/, $line, 3;
        push @results, { id => $id, class => $class, reason => $reason };
    }
    return sort { $a->{id} <=> $b->{id} } @results;
}

# Each worker adopts what the programs it runs leave behind (the script
# generator of a killed creation), so that it can wait for them to end.
sub workerMain {
    my ($index, $tasks) = @_;
    becomeSubreaper();
    my %references;
    open(my $out, '>', "$TOP/results.$index") or die "cannot write results: $!";
    $out->autoflush(1);
    for my $task (@$tasks) {
        my $scenario = $task->{scenario};
        my $worker = prepareWorker($index, $scenario);
        $references{ $worker->{docsKind} } //= referenceOf($worker);
        $worker->{reference} = $references{ $worker->{docsKind} };
        my $verdict = eval { runTask($worker, $task) } // { class => 'FAULT', reason => "harness: $@" };
        $verdict->{reason} =~ s/[\t\n]+/ /g;
        print {$out} join("\t", $task->{id}, $verdict->{class}, $verdict->{reason}), "\n";
        keepFaultyRun($worker, $task) if $verdict->{class} eq 'FAULT' && $option{keep};
        printf STDERR "%-5s %-17s %-11s %-10s #%-4d %s\n", $verdict->{class}, $scenario, $task->{step},
          $task->{syscall}, $task->{n}, $verdict->{reason}
          if $option{verbose};
    }
    close($out) or die "cannot write results: $!";
}

sub becomeSubreaper {
    return unless $Config{archname} =~ /\Ax86_64-linux/;
    syscall(157, 36, 1, 0, 0, 0);    # prctl(PR_SET_CHILD_SUBREAPER, 1)
}

# A worker directory of a fixed name, so that every path a run writes into
# the instance is the same in all of the worker's runs.
sub prepareWorker {
    my ($index, $scenario) = @_;
    my $base = "$TOP/w$index";
    my $kind = $SCENARIOS{$scenario}{docs};
    my $worker = { base => $base, run => "$base/run", state => "$base/state", scenario => $SCENARIOS{$scenario},
        docsKind => $kind, root => "$base/run/root" };
    $worker->{docs} = $kind eq 'inside' ? "$worker->{root}/$ID/docs" : "$base/run/site/docs";
    make_path($worker->{state});
    return $worker;
}

sub keepFaultyRun {
    my ($worker, $task) = @_;
    system('cp', '-a', $worker->{run}, "$TOP/fault-$task->{id}");
}

# --- runs --------------------------------------------------------------------------

sub freshInstallation {
    my ($worker) = @_;
    remove_tree($worker->{run}) if -e $worker->{run};
    mkdir $worker->{run} or die "mkdir $worker->{run}: $!";
    chmod 0755, $worker->{run};
    system('cp', '-a', $SAMPLE, $worker->{root}) == 0 or die "cannot copy $SAMPLE";
}

sub installCommand {
    my ($worker, @extra) = @_;
    return ($INSTALL, @extra, '-s', 'www.example.test', '-p', '8080', '-i', $ID, '-u', $option{user}, '-d',
        $worker->{docs}, '-P', '7676', '-A', 'admin', '-W', 'secret', '-J', '/usr/lib/jvm/java');
}

sub killedCommand {
    my ($worker) = @_;
    return $worker->{scenario}{kill} eq 'create' ? installCommand($worker) : ($CTL, 'remove', $ID);
}

# The installation the killed program starts from: fresh, with a complete
# instance to remove, or with a creation killed once its document root was
# made and handed over.
sub prepareScenario {
    my ($worker) = @_;
    freshInstallation($worker);
    return if $worker->{scenario}{kill} eq 'create';
    my @command = installCommand($worker);
    @command = ($STRACE, '-qq', '-o', '/dev/null', '-e', 'trace=syncfs', '-e', 'inject=syncfs:signal=KILL:when=1',
        @command)
      if ($worker->{scenario}{first} // '') eq 'incomplete';
    my $made = runCommand(\@command, $worker, 'setup');
    die "the creation to remove failed (status $made->{status}): $made->{err}"
      unless $made->{status} eq '0' || ($worker->{scenario}{first} && $made->{status} eq 'signal 9');
}

# A clean creation in the worker's directory, to compare the others with.
sub referenceOf {
    my ($worker) = @_;
    freshInstallation($worker);
    my $run = runCommand([ installCommand($worker) ], $worker, 'reference');
    die "the clean creation failed (status $run->{status}): $run->{err}" unless $run->{status} eq '0';
    return snapshotAll($worker);
}

sub environment {
    my ($worker) = @_;
    my %environment = (PATH => '/usr/sbin:/usr/bin:/sbin:/bin', LC_ALL => 'C', LANG => 'C',
        ZORA_SERVER_HOME => $worker->{root}, INSTALL_CHECK_PORTS => 'no');
    # LeakSanitizer cannot work under ptrace; the other checks can.
    $environment{ASAN_OPTIONS} = join(':', grep { defined && length } $ENV{ASAN_OPTIONS}, 'detect_leaks=0');
    $environment{UBSAN_OPTIONS} = $ENV{UBSAN_OPTIONS} if defined $ENV{UBSAN_OPTIONS};
    return \%environment;
}

# Runs a command in a process group of its own and waits for it; when it
# ends, what is left of its group is killed and reaped. {status (exit
# status, "signal N" or "timeout"), out, err}.
sub runCommand {
    my ($command, $worker, $name) = @_;
    my ($outPath, $errPath) = ("$worker->{state}/$name.out", "$worker->{state}/$name.err");
    my $pid = fork() // die "fork: $!";
    if ($pid == 0) {
        setpgrp(0, 0);
        umask(022);
        %ENV = %{ environment($worker) };
        open(STDIN, '<', '/dev/null');
        open(STDOUT, '>', $outPath);
        open(STDERR, '>', $errPath);
        { no warnings 'exec'; exec { $command->[0] } @$command; }
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
    kill 'KILL', -$pid;
    1 while waitpid(-1, POSIX::WNOHANG()) > 0 || (kill(0, -$pid) && waitpid(-1, 0) > 0);
    my %result = (out => slurp($outPath), err => slurp($errPath));
    $result{status} = $timedOut ? 'timeout' : WIFSIGNALED($status) ? 'signal ' . WTERMSIG($status) : WEXITSTATUS($status);
    # strace ends the way its tracee ended.
    $result{status} = 'signal 9' if $result{status} eq '137';
    return \%result;
}

sub ctl {
    my ($worker, @arguments) = @_;
    return runCommand([ $CTL, @arguments ], $worker, 'ctl');
}

# --- what a run left -------------------------------------------------------------------

# The instance, the document root, the rest of the server root (its own
# names left out) and anything beside them.
sub snapshotAll {
    my ($worker) = @_;
    my $root = $worker->{root};
    my $outside = snapshotTree($root, sub {
        my ($relative) = @_;
        return $relative eq '.instances.lock' || $relative =~ m{\A(\.removing\.)?\Q$ID\E(/|\z)};
    });
    opendir(my $dir, $worker->{run}) or die "cannot list $worker->{run}: $!";
    for my $name (readdir $dir) {
        next if $name eq '.' || $name eq '..' || $name eq 'root';
        $outside->{"../$name"} = 'entry' unless $name eq 'site' && $worker->{docsKind} eq 'outside';
    }
    closedir($dir);
    my %site;
    if ($worker->{docsKind} eq 'outside') {
        my $site = snapshotTree("$worker->{run}/site");
        %site = map { $_ => $site->{$_} } grep { !m{\Adocs(/|\z)} } keys %$site;
    }
    return {
        instance => snapshotTree("$root/$ID", $worker->{docsKind} eq 'inside' ? sub { $_[0] =~ m{\Adocs(/|\z)} } : undef, 1),
        docs     => snapshotTree($worker->{docs}),
        outside  => $outside,
        site     => \%site,
        removal  => -e "$root/.removing.$ID" || -l "$root/.removing.$ID",
        present  => -e "$root/$ID" || -l "$root/$ID",
    };
}

# The state of the instance in the table and in the JSON of list, or a fault.
sub listedStates {
    my ($worker) = @_;
    my $table = ctl($worker, 'list');
    return { fault => "list failed (status $table->{status}): $table->{err}" } unless $table->{status} eq '0';
    my $json = ctl($worker, 'list', '--json');
    return { fault => "list --json failed (status $json->{status}): $json->{err}" } unless $json->{status} eq '0';
    my $decoded = eval { require JSON::PP; JSON::PP::decode_json($json->{out}) };
    return { fault => "list --json printed no JSON array: $json->{out}" } unless ref $decoded eq 'ARRAY';
    my ($jsonState) = map { $_->{state} } grep { $_->{id} eq $ID } @$decoded;
    my ($header, @rows) = split /\n/, $table->{out};
    my $column = index($header // '', 'STATE');
    my ($row) = grep { /\A\Q$ID\E / } @rows;
    my $tableState = defined $row ? (split / /, substr($row, $column))[0] : undef;
    return { fault => 'list and list --json disagree: ' . ($tableState // 'absent') . ' and ' . ($jsonState // 'absent') }
      if ($tableState // 'absent') ne ($jsonState // 'absent');
    return { state => $jsonState // 'absent' };
}

# --- judging -----------------------------------------------------------------------

sub fault { return { class => 'FAULT', reason => $_[0] } }

sub runTask {
    my ($worker, $task) = @_;
    prepareScenario($worker);
    my $before = snapshotAll($worker);
    my $injection = "$task->{syscall}:signal=KILL:when=$task->{n}";
    my $killed = runCommand([ $STRACE, '-qq', '-o', '/dev/null', '-e', "trace=$task->{syscall}", '-e',
        "inject=$injection", killedCommand($worker) ], $worker, 'killed');
    return fault("the run was not killed (status $killed->{status}): $killed->{err}")
      unless $killed->{status} eq 'signal 9';
    return fault("sanitizer report: $killed->{err}") if $killed->{err} =~ /(AddressSanitizer|runtime error:)/;
    return judge($worker, $before);
}

# How the run left the instance, as the harness knows it from the scenario
# and what is on disk: the instance was whole before a removal began (or
# after the creation), and what a removal keeps inside it is all that is left.
sub outcomeOf {
    my ($worker, $left, $state) = @_;
    my $scenario = $worker->{scenario};
    my $wasWhole = $state eq 'stopped' || ($scenario->{kill} eq 'remove' && !$scenario->{first});
    my $keepsInside = $wasWhole && $worker->{docsKind} eq 'inside';
    my $keptOnly = $keepsInside && $left->{present} && !$left->{removal} && !grep { $_ ne '.' } keys %{ $left->{instance} };
    return { wasWhole => $wasWhole, keepsInside => $keepsInside, keptOnly => $keptOnly };
}

sub judge {
    my ($worker, $before) = @_;
    my $left = snapshotAll($worker);
    my $listed = listedStates($worker);
    return fault($listed->{fault}) if $listed->{fault};
    my $state = $listed->{state};
    my $outcome = outcomeOf($worker, $left, $state);
    my $whole = $left->{present} && !$left->{removal}
      && !compareSnapshots($worker->{reference}{instance}, $left->{instance})
      && !compareSnapshots($worker->{reference}{docs}, $left->{docs});
    if ($state eq 'stopped') {
        return fault('listed as stopped, but not whole: ' . join(' ', compareAll($worker->{reference}, $left)))
          unless $whole;
    } elsif ($state eq 'absent') {
        return fault("not listed, but $ID is there") if ($left->{present} && !$outcome->{keptOnly}) || $left->{removal};
    } elsif ($state ne 'incomplete' && $state ne 'removing') {
        return fault("listed as $state");
    }
    my $expected = $state eq 'incomplete' || $state eq 'removing' ? 'unfinished'
      : $state eq 'stopped' || $outcome->{keptOnly} ? 'in use' : 'free';
    if (my $wrong = checkRefusals($worker, $expected)) { return fault($wrong) }
    return clearAndCreate($worker, $before, $state, $outcome);
}

# install -n and install say what list says, and change nothing.
sub checkRefusals {
    my ($worker, $expected) = @_;
    my $kept = snapshotAll($worker);
    my $check = runCommand([ installCommand($worker, '-n') ], $worker, 'check');
    if ($expected eq 'free') {
        return "-n found a problem (status $check->{status}): $check->{err}" unless $check->{status} eq '0';
        return undef;    # the creation is made in clearAndCreate
    }
    my $again = runCommand([ installCommand($worker) ], $worker, 'again');
    my $refusal = $expected eq 'unfinished'
      ? qr/held by a creation or a removal that did not finish .*run "instancectl remove \Q$ID\E"/
      : qr/already in use/;
    return "-n did not refuse it as $expected: $check->{err}" unless $check->{status} eq '3' && $check->{err} =~ $refusal;
    return "install did not refuse it as $expected (status $again->{status}): $again->{err}"
      unless $again->{status} eq '254' && $again->{err} =~ $refusal;
    my @changed = compareAll($kept, snapshotAll($worker));
    return "a refused run changed something: @changed" if @changed;
    return undef;
}

sub compareAll {
    my ($expected, $actual) = @_;
    return map { my $part = $_; map { "$part: $_" } compareSnapshots($expected->{$part}, $actual->{$part}) }
      qw(instance docs outside site);
}

# remove clears what was left: a whole instance goes but for its document
# root, which comes out as it went in; an unfinished creation goes with
# every directory it made. A creation then makes what a clean run makes.
sub clearAndCreate {
    my ($worker, $before, $state, $outcome) = @_;
    if ($state ne 'absent') {
        my $removed = ctl($worker, 'remove', $ID);
        my $expected = $outcome->{keepsInside} ? '2' : '0';
        return fault("remove ended with status $removed->{status}: $removed->{err}$removed->{out}")
          unless $removed->{status} eq $expected;
    }
    my $after = snapshotAll($worker);
    return fault("the removal is left: .removing.$ID") if $after->{removal};
    my @outside = compareSnapshots($before->{outside}, $after->{outside});
    return fault("files outside the instance changed: @outside") if @outside;
    if ($outcome->{wasWhole}) {
        my @docs = (compareSnapshots($worker->{reference}{docs}, $after->{docs}),
            compareSnapshots($worker->{reference}{site}, $after->{site}));
        return fault("the document root changed: @docs") if @docs;
        if ($outcome->{keepsInside}) {
            return fault("$ID holds more than the kept document root")
              if grep { $_ ne '.' } keys %{ $after->{instance} };
            return { class => 'ok', reason => "$state; removed but for the document root inside" };
        }
        return fault("$ID is left") if $after->{present};
    } else {
        return fault("$ID is left") if $after->{present};
        return fault('what the creation made outside is left: ' . join(' ', sort(keys %{ $after->{docs} }),
            sort(keys %{ $after->{site} }))) if %{ $after->{docs} } || %{ $after->{site} };
    }
    my $created = runCommand([ installCommand($worker) ], $worker, 'created');
    return fault("the next creation failed (status $created->{status}): $created->{err}") unless $created->{status} eq '0';
    my @differences = compareAll($worker->{reference}, snapshotAll($worker));
    return fault("the next creation differs from a clean one: @differences") if @differences;
    return { class => 'ok', reason => "$state; cleared, then created as a clean run" };
}

# --- summary ---------------------------------------------------------------------------

sub summarise {
    my ($results, $tasks) = @_;
    my (%count, %byScenario);
    for my $result (@$results) {
        my $task = $tasks->[ $result->{id} ];
        $count{ $result->{class} }++;
        $byScenario{ $task->{scenario} }{ $result->{class} }++;
        next unless $result->{class} eq 'FAULT';
        print "FAULT: $task->{scenario} $task->{step} $task->{syscall} #$task->{n}: $result->{reason}\n"
          . '  call: ' . substr($task->{call}, 0, 300) . "\n";
    }
    my $missing = @$tasks - @$results;
    print "kill points: $missing runs produced no result\n" if $missing;
    for my $name (@SCENARIOS) {
        my $c = $byScenario{$name} // {};
        printf "  %-17s %4d ok, %d faults\n", $name, $c->{ok} // 0, $c->{FAULT} // 0;
    }
    my $faults = ($count{FAULT} // 0) + $missing;
    printf "kill points: %d runs (%s), %d jobs, %.0f s, %d faults found\n", scalar @$results,
      $option{all} ? 'every call' : 'sampled', $option{jobs}, time - $started, $faults;
    return $faults ? 1 : 0;
}
