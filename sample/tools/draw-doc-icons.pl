#!/usr/bin/perl
# SPDX-License-Identifier: GPL-3.0-or-later
#
# draw-doc-icons.pl - draws the install form's documentation switch icons.
#
#   perl sample/tools/draw-doc-icons.pl [ICON_DIR [PREVIEW_DIR]]
#
# Writes b-open.gif (an open book: full documentation shown) and b-clsd.gif
# (a closed book: documentation hidden), 55 x 26 pixels each, into ICON_DIR
# (default: sample/server-root/lib/icons beside this script). With
# PREVIEW_DIR, also writes each picture enlarged eight times as PNG there, to
# look at. The GIFs are committed; this script is only needed to redraw them.

use strict;
use warnings;
use File::Basename qw(dirname);
use lib dirname(__FILE__);
use Picture qw(canvas put rect gif png writeFile);

use constant { WIDTH => 55, HEIGHT => 26 };

# Colour 0 is the transparent background (white where it shows).
my @PALETTE = (
    [0xff, 0xff, 0xff],    # 0 background
    [0x1f, 0x2a, 0x44],    # 1 outline
    [0x2f, 0x5f, 0xa8],    # 2 cover
    [0x1e, 0x3f, 0x73],    # 3 cover in shadow, spine
    [0xfb, 0xf6, 0xe4],    # 4 page
    [0xd9, 0xd0, 0xb0],    # 5 page edge, fold
    [0x8a, 0x8f, 0x99],    # 6 printed line
    [0xc0, 0x39, 0x2b],    # 7 ribbon
    [0xe8, 0xee, 0xf8],    # 8 cover label
);

sub frame {
    my ($c, $x0, $y0, $x1, $y1, $colour) = @_;
    for my $x ($x0 .. $x1) { put($c, $x, $y0, $colour); put($c, $x, $y1, $colour) }
    for my $y ($y0 .. $y1) { put($c, $x0, $y, $colour); put($c, $x1, $y, $colour) }
}

# The open book: two pages curving up from the spine, with printed lines,
# lying on the cover, which shows below and beside them.
sub openBook {
    my $c = canvas(WIDTH, HEIGHT);
    my ($left, $spine, $right) = (3, 27, 51);
    # Top of the page at column x: low at the spine and the outer edge,
    # highest a third of the way out.
    my $top = sub {
        my ($x) = @_;
        my $t = $x <= $spine ? ($spine - $x) / ($spine - $left) : ($x - $spine) / ($right - $spine);
        return 5 - int(3 * sin(3.14159 * $t ** 0.8) + 0.5) + ($t < 0.08 ? 1 : 0);
    };
    my $bottom = sub { return $top->($_[0]) + 17 };
    # The cover, one pixel wider than the pages and two lower.
    for my $x ($left - 2 .. $right + 2) {
        my $xx = $x < $left ? $left : $x > $right ? $right : $x;
        rect($c, $x, $top->($xx) + 3, $x, $bottom->($xx) + 2, 2);
        put($c, $x, $bottom->($xx) + 3, 1);
    }
    put($c, $left - 2, $_, 1) for $top->($left) + 3 .. $bottom->($left) + 3;
    put($c, $right + 2, $_, 1) for $top->($right) + 3 .. $bottom->($right) + 3;
    # The pages, the edges of the sheets below them, their outline.
    for my $x ($left .. $right) {
        rect($c, $x, $top->($x), $x, $bottom->($x), 4);
        put($c, $x, $bottom->($x) + 1, 5);
        put($c, $x, $top->($x), 1);
        put($c, $x, $bottom->($x), 1);
    }
    for my $edge ($left, $right) {
        put($c, $edge, $_, 1) for $top->($edge) .. $bottom->($edge) + 1;
    }
    # The fold.
    put($c, $spine, $_, 5) for $top->($spine) + 1 .. $bottom->($spine);
    put($c, $spine, $bottom->($spine) + 1, 1);
    # Printed lines, following the curve of the page; some end early.
    my @ends = (0, 2, 0, 5, 0, 1, 7);
    for my $line (0 .. 6) {
        for my $side ([$left + 3, $spine - 3], [$spine + 3, $right - 3]) {
            my ($from, $to) = @$side;
            $to -= $ends[($line + ($from > $spine ? 3 : 0)) % 7];
            put($c, $_, $top->($_) + 3 + 2 * $line, 6) for $from .. $to;
        }
    }
    return $c;
}

# The closed book: the front cover with a label and a spine, the page block
# showing at the side and below, and a ribbon marking a place.
sub closedBook {
    my $c = canvas(WIDTH, HEIGHT);
    my ($x0, $y0, $x1, $y1) = (16, 2, 37, 21);
    # Back cover and the page block between the covers.
    rect($c, $x0 + 3, $y0 + 3, $x1 + 3, $y1 + 3, 3);
    frame($c, $x0 + 3, $y0 + 3, $x1 + 3, $y1 + 3, 1);
    rect($c, $x0 + 2, $y0 + 2, $x1 + 2, $y1 + 2, 4);
    frame($c, $x0 + 2, $y0 + 2, $x1 + 2, $y1 + 2, 1);
    for my $y ($y0 + 4 .. $y1 + 1) { put($c, $x1 + 1, $y, 5) if $y % 2 }
    for my $x ($x0 + 4 .. $x1 + 1) { put($c, $x, $y1 + 1, 5) if $x % 2 }
    # Front cover, spine and label.
    rect($c, $x0, $y0, $x1, $y1, 2);
    rect($c, $x0 + 1, $y0 + 1, $x0 + 3, $y1 - 1, 3);
    put($c, $x0 + 4, $_, 1) for $y0 + 1 .. $y1 - 1;
    frame($c, $x0, $y0, $x1, $y1, 1);
    rect($c, $x0 + 8, $y0 + 4, $x1 - 4, $y0 + 9, 8);
    frame($c, $x0 + 8, $y0 + 4, $x1 - 4, $y0 + 9, 1);
    put($c, $_, $y0 + 6, 6) for $x0 + 10 .. $x1 - 6;
    put($c, $_, $y0 + 7, 6) for $x0 + 10 .. $x1 - 9;
    # Ribbon hanging out at the bottom, cut in a V.
    rect($c, $x1 - 8, $y1 + 1, $x1 - 6, $y1 + 3, 7);
    put($c, $x1 - 7, $y1 + 3, 0);
    put($c, $x1 - 7, $y1 + 4, 0);
    put($c, $x1 - 8, $y1 + 4, 7);
    put($c, $x1 - 6, $y1 + 4, 7);
    return $c;
}

my $iconDir = $ARGV[0] // dirname(__FILE__) . '/../server-root/lib/icons';
my $previewDir = $ARGV[1];
for my $icon (['b-open', openBook()], ['b-clsd', closedBook()]) {
    my ($name, $c) = @$icon;
    writeFile("$iconDir/$name.gif", gif($c, \@PALETTE));
    writeFile("$previewDir/$name.png", png($c, \@PALETTE, 8)) if defined $previewDir;
}
