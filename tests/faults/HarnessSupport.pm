# SPDX-License-Identifier: GPL-3.0-or-later
# HarnessSupport - what the fault harnesses share: snapshots of trees (every
# entry with its kind, mode, owners and content) and their differences, and
# their runs spread over parallel workers.
package HarnessSupport;

use strict;
use warnings;
use Digest::SHA;
use Exporter qw(import);
use Fcntl qw(:mode);
use File::Find;
use POSIX ();

our @EXPORT_OK =
  qw(snapshotTree describeEntry maskCatalogueTimes compareSnapshots slurp findProgram straceKnows runInWorkers);

# relative path => "type mode uid gid content" for every entry below $top
# ('.' for $top itself); empty when $top does not exist. $skip (a sub
# given the relative path) prunes entries; with $maskCatalogue the times
# in backups.conf files are masked.
sub snapshotTree {
    my ($top, $skip, $maskCatalogue) = @_;
    my %entries;
    return \%entries unless -e $top || -l $top;
    my $visit = sub {
        my $path = $File::Find::name;
        my $relative = $path eq $top ? '.' : substr($path, length($top) + 1);
        if ($skip && $relative ne '.' && $skip->($relative)) {
            $File::Find::prune = 1;
            return;
        }
        $entries{$relative} = describeEntry($path, $maskCatalogue && $relative =~ m{(\A|/)backups\.conf\z});
    };
    find({ wanted => $visit, no_chdir => 1 }, $top);
    return \%entries;
}

sub describeEntry {
    my ($path, $maskTimes) = @_;
    my @status = lstat($path) or return 'vanished';
    my ($mode, $uid, $gid) = @status[ 2, 4, 5 ];
    my $permissions = sprintf('%04o %d:%d', $mode & 07777, $uid, $gid);
    return "link $permissions " . readlink($path) if S_ISLNK($mode);
    return "dir $permissions" if S_ISDIR($mode);
    return "other $permissions" unless S_ISREG($mode);
    my $content = slurp($path);
    $content = maskCatalogueTimes($content) if $maskTimes;
    return "file $permissions " . Digest::SHA::sha256_hex($content);
}

# Entry lines "name:path:version:time:description" and tag lines
# "time:members::text" carry the times of the run.
sub maskCatalogueTimes {
    my ($text) = @_;
    $text =~ s/^([^:\n]*:[^:\n]*:\d+:)-?\d+:/${1}TIME:/mg;
    $text =~ s/^-?\d+:/TIME:/mg;
    return $text;
}

# The first five differences, "name (before -> after)".
sub compareSnapshots {
    my ($expected, $actual) = @_;
    my @differences;
    my %names = map { $_ => 1 } keys %$expected, keys %$actual;
    for my $name (sort keys %names) {
        my $before = $expected->{$name} // 'absent';
        my $after  = $actual->{$name} // 'absent';
        next if $before eq $after;
        push @differences, "$name ($before -> $after)";
        last if @differences >= 5;
    }
    return @differences;
}

sub slurp {
    my ($path) = @_;
    open(my $in, '<:raw', $path) or return '';
    local $/;
    my $text = <$in> // '';
    close($in);
    return $text;
}

sub findProgram {
    my ($name) = @_;
    for my $directory (split /:/, $ENV{PATH} // '/usr/bin:/bin') {
        return "$directory/$name" if -x "$directory/$name";
    }
    return undef;
}

# True when the strace at $strace can trace the system call $syscall here.
sub straceKnows {
    my ($strace, $syscall) = @_;
    my $pid = fork() // die "fork: $!";
    if ($pid == 0) {
        open(STDOUT, '>', '/dev/null');
        open(STDERR, '>', '/dev/null');
        { no warnings 'exec'; exec($strace, '-qq', '-o', '/dev/null', '-e', "trace=$syscall", '/bin/true'); }
        POSIX::_exit(127);
    }
    waitpid($pid, 0);
    return $? == 0;
}

# Splits the tasks (hashes with an `id`) among `jobs` forked workers: the
# worker of index i gets the tasks whose id is i modulo `jobs`, runs
# `work`->(i, \@share) and writes one line per task to "<top>/results.<i>".
# `running` (a hash, when given) holds pid => index of the workers while
# they run. Returns every result line, without its line end; dies when a
# worker failed.
sub runInWorkers {
    my (%run) = @_;
    my %children;
    my $running = $run{running} // {};
    for my $index (0 .. $run{jobs} - 1) {
        my @share = grep { $_->{id} % $run{jobs} == $index } @{ $run{tasks} };
        next unless @share;
        my $pid = fork() // die "fork: $!";
        if ($pid == 0) {
            my $status = eval { $run{work}->($index, \@share); 0 } // do { print STDERR $@; 1 };
            POSIX::_exit($status);
        }
        $children{$pid} = $index;
        $running->{$pid} = $index;
    }
    my $failed;
    while (%children) {
        my $pid = waitpid(-1, 0);
        last if $pid < 0;
        my $index = delete $children{$pid};
        next unless defined $index;
        delete $running->{$pid};
        $failed = "worker $index ended with status " . ($? >> 8) if $? != 0;
    }
    die "$failed\n" if $failed;
    my @lines;
    for my $index (0 .. $run{jobs} - 1) {
        open(my $in, '<', "$run{top}/results.$index") or next;
        while (my $line = <$in>) {
            chomp $line;
            push @lines, $line;
        }
        close($in);
    }
    return @lines;
}

1;
