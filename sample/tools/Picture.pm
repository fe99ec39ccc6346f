# SPDX-License-Identifier: GPL-3.0-or-later
# Picture.pm - the drawing and the image files of the sample's pictures.
#
# A canvas is an array of rows of palette indices; colour 0 is transparent.
# gif() writes a GIF89a with a 16-colour table, compressing the pixels
# itself; png() an enlarged RGB copy to look at. The same canvas always
# gives the same bytes.

package Picture;

use strict;
use warnings;
use Compress::Zlib qw(compress crc32);
use Exporter qw(import);

our @EXPORT_OK = qw(canvas put rect gif png writeFile);

sub canvas {
    my ($width, $height) = @_;
    return [map { [(0) x $width] } 1 .. $height];
}

sub put {
    my ($c, $x, $y, $colour) = @_;
    $c->[$y][$x] = $colour if $x >= 0 && $y >= 0 && $y < @$c && $x < @{ $c->[0] };
}

sub rect {    # filled, corners included
    my ($c, $x0, $y0, $x1, $y1, $colour) = @_;
    for my $y ($y0 .. $y1) { put($c, $_, $y, $colour) for $x0 .. $x1 }
}

# GIF variable-length-code compression of the pixel indices.
sub lzw {
    my ($minimum, @pixels) = @_;
    my $clear = 1 << $minimum;
    my $end = $clear + 1;
    my ($size, $next, %table);
    my ($out, $bits, $count) = ('', 0, 0);
    my $emit = sub {
        $bits |= $_[0] << $count;
        $count += $size;
        while ($count >= 8) {
            $out .= chr($bits & 0xff);
            $bits >>= 8;
            $count -= 8;
        }
        # The reader widens its codes once the table reaches the next power of two.
        $size++ if $next >= (1 << $size) && $size < 12;
    };
    my $reset = sub { %table = (); $size = $minimum + 1; $next = $end + 1 };
    $reset->();
    $emit->($clear);
    my $codeOf = sub { length($_[0]) == 1 ? ord($_[0]) : $table{$_[0]} };
    my $prefix = chr(shift @pixels);
    for my $pixel (@pixels) {
        my $longer = $prefix . chr($pixel);
        if (exists $table{$longer}) {
            $prefix = $longer;
            next;
        }
        $emit->($codeOf->($prefix));
        if ($next < 4096) {
            $table{$longer} = $next++;
        } else {
            $emit->($clear);
            $reset->();
        }
        $prefix = chr($pixel);
    }
    $emit->($codeOf->($prefix));
    $emit->($end);
    $out .= chr($bits & 0xff) if $count > 0;
    return $out;
}

# The palette is padded to the 16 colours of the table.
sub gif {
    my ($c, $palette) = @_;
    my ($width, $height) = (scalar @{ $c->[0] }, scalar @$c);
    my @colours = (@$palette, ([0, 0, 0]) x (16 - @$palette));
    my $table = join('', map { pack('C3', @$_) } @colours);
    my $data = lzw(4, map { @$_ } @$c);
    my $blocks = '';
    $blocks .= chr(length($1)) . $1 while $data =~ /\G(.{1,255})/gs;
    return 'GIF89a'
        . pack('v2C3', $width, $height, 0xb3, 0, 0) . $table     # screen, 16-colour table
        . pack('C4vCC', 0x21, 0xf9, 4, 1, 0, 0, 0)                # colour 0 is transparent
        . pack('Cv4C', 0x2c, 0, 0, $width, $height, 0)            # the one image
        . chr(4) . $blocks . chr(0) . ';';
}

sub png {
    my ($c, $palette, $scale) = @_;
    my ($width, $height) = (scalar @{ $c->[0] }, scalar @$c);
    my $chunk = sub { my ($type, $body) = @_; pack('N', length $body) . $type . $body . pack('N', crc32($type . $body)) };
    my $rows = '';
    for my $row (@$c) {
        my $line = "\0" . join('', map { pack('C3', @{ $palette->[$_] }) x $scale } @$row);
        $rows .= $line x $scale;
    }
    return "\x89PNG\r\n\x1a\n"
        . $chunk->('IHDR', pack('N2C5', $width * $scale, $height * $scale, 8, 2, 0, 0, 0))
        . $chunk->('IDAT', compress($rows))
        . $chunk->('IEND', '');
}

sub writeFile {
    my ($path, $bytes) = @_;
    open(my $out, '>:raw', $path) or die "cannot write $path: $!\n";
    print {$out} $bytes or die "cannot write $path: $!\n";
    close($out) or die "cannot write $path: $!\n";
}

1;
