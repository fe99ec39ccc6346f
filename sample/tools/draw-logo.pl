#!/usr/bin/perl
# SPDX-License-Identifier: GPL-3.0-or-later
#
# draw-logo.pl - draws the logo of a new instance's home page.
#
#   perl sample/tools/draw-logo.pl [TEMPLATE_DIR [PREVIEW_DIR]]
#
# Writes logo.gif, 48 x 48 pixels, into TEMPLATE_DIR and its fr/
# subdirectory (default: sample/server-root/lib/install/templates beside
# this script). The picture is a small server cabinet: a dark teal case on
# two feet holding three units, each with vent slots, a drive bay and a lit
# green lamp. It sits left of the page's <h1>, whose colour it takes up; its
# size is the one index.html gives the <img>, so change both together.
# With PREVIEW_DIR, also writes the picture enlarged eight times as
# logo.png there, to look at. The same input always gives the same bytes.
# The GIFs are committed; this script is only needed to redraw them.
#
# Like draw-doc-icons.pl it writes the GIF bytes itself, through Picture.pm
# beside it, and needs nothing beyond perl and Compress::Zlib.

use strict;
use warnings;
use File::Basename qw(dirname);
use lib dirname(__FILE__);
use Picture qw(canvas put rect gif png writeFile);

use constant { WIDTH => 48, HEIGHT => 48 };

# Colour 0 is the transparent background (white where it shows, which is
# the page's own background).
my @PALETTE = (
    [0xff, 0xff, 0xff],    # 0 background
    [0x0c, 0x2e, 0x2e],    # 1 outline
    [0x00, 0x60, 0x60],    # 2 case (the heading's colour)
    [0x2b, 0x86, 0x86],    # 3 case lit from above
    [0xd8, 0xe6, 0xe6],    # 4 unit face
    [0xf7, 0xfb, 0xfb],    # 5 unit face, top edge
    [0x9d, 0xb6, 0xb6],    # 6 unit face, bottom edge
    [0x4f, 0x6b, 0x6b],    # 7 vent slot, drive bay
    [0x2f, 0xb3, 0x5a],    # 8 lamp
    [0xb5, 0xf2, 0xc4],    # 9 lamp's glint
    [0x00, 0x40, 0x40],    # 10 case in shadow
    [0x86, 0xcc, 0xa0],    # 11 lamp's rim, half lamp and half face
);

# A filled rectangle with a one-pixel outline whose corners are cut off, so
# that it reads as rounded at this size.
sub roundedBox {
    my ($c, $x0, $y0, $x1, $y1, $fill, $outline) = @_;
    rect($c, $x0 + 1, $y0 + 1, $x1 - 1, $y1 - 1, $fill);
    rect($c, $x0 + 1, $y0, $x1 - 1, $y0, $outline);
    rect($c, $x0 + 1, $y1, $x1 - 1, $y1, $outline);
    rect($c, $x0, $y0 + 1, $x0, $y1 - 1, $outline);
    rect($c, $x1, $y0 + 1, $x1, $y1 - 1, $outline);
}

sub cabinet {
    my $c = canvas(WIDTH, HEIGHT);
    my ($x0, $y0, $x1, $y1) = (7, 2, 40, 43);
    # Feet first, so that the case's outline covers their tops.
    for my $foot ($x0 + 3, $x1 - 8) {
        rect($c, $foot, $y1, $foot + 5, $y1 + 2, 1);
    }
    roundedBox($c, $x0, $y0, $x1, $y1, 2, 1);
    # Light falls from above: a lit band along the top, shadow at the bottom.
    rect($c, $x0 + 2, $y0 + 1, $x1 - 2, $y0 + 1, 3);
    rect($c, $x0 + 1, $y1 - 1, $x1 - 1, $y1 - 1, 10);
    # Three units, each a rounded face set into the case.
    my ($left, $right) = ($x0 + 3, $x1 - 3);
    for my $unit (0 .. 2) {
        my $top = $y0 + 4 + 12 * $unit;
        my $bottom = $top + 9;
        roundedBox($c, $left, $top, $right, $bottom, 4, 1);
        rect($c, $left + 1, $top + 1, $right - 1, $top + 1, 5);
        rect($c, $left + 1, $bottom - 1, $right - 1, $bottom - 1, 6);
        # Vent slots at the left.
        for my $slot (0 .. 3) {
            my $x = $left + 3 + 2 * $slot;
            rect($c, $x, $top + 3, $x, $bottom - 3, 7);
        }
        # A drive bay in the middle: a slot with a small handle.
        rect($c, $left + 12, $top + 4, $right - 9, $top + 5, 7);
        # The lamp at the right, round at this size, with a glint.
        my ($lx, $ly) = ($right - 5, $top + 3);
        rect($c, $lx, $ly, $lx + 3, $ly + 3, 8);
        put($c, $_->[0], $_->[1], 11) for [$lx, $ly], [$lx + 3, $ly], [$lx, $ly + 3], [$lx + 3, $ly + 3];
        put($c, $lx + 1, $ly + 1, 9);
    }
    return $c;
}

my $templateDir = $ARGV[0] // dirname(__FILE__) . '/../server-root/lib/install/templates';
my $previewDir = $ARGV[1];
my $logo = cabinet();
# Every language's home page shows the same picture.
writeFile("$_/logo.gif", gif($logo, \@PALETTE)) for $templateDir, "$templateDir/fr";
writeFile("$previewDir/logo.png", png($logo, \@PALETTE, 8)) if defined $previewDir;
