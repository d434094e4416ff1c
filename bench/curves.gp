# Growth curves of the benchmarks (called by bench/run):
#   gnuplot -e "datadir='...'; outdir='...'" bench/curves.gp
set terminal pngcairo size 900,600 font ",11"
set logscale xy
set grid
set key top left
set ylabel "seconds (median)"
set format y "%g"

set output outdir."/link.png"
set title "Linking a plugin of N entries into an empty root (tmpfs)"
set xlabel "manifest entries N"
plot datadir."/link.dat" using 1:2 with linespoints title "floor (bare system-call loop)", \
     ""                  using 1:3 with linespoints title "plugin\\_link\\_to\\_exec\\_path", \
     ""                  using 1:4 with linespoints title "cp -as", \
     ""                  using 1:5 with linespoints title "stow --no-folding"

set output outdir."/unlink.png"
set title "Unlinking a plugin of N entries (tmpfs)"
plot datadir."/link.dat" using 1:6 with linespoints title "floor (bare system-call loop)", \
     ""                  using 1:7 with linespoints title "plugin\\_unlink\\_from\\_exec\\_path", \
     ""                  using 1:8 with linespoints title "stow -D"

set output outdir."/order.png"
set title "Load order of N plugins (about 3 dependencies each)"
set xlabel "plugins N"
plot datadir."/order.dat" using 1:2 with linespoints title "transcription of the rule (count^3)", \
     ""                   using 1:3 with linespoints title "plugin\\_find\\_load\\_order"

set output outdir."/swid.png"
set title "Software-id map: n swids appended one by one, each looked up first"
set xlabel "swids n"
plot datadir."/swid.dat" using 1:2 with linespoints title "total", \
     ""                  using 1:3 with linespoints title "lookups (plugin\\_swid\\_map\\_get\\_id)", \
     ""                  using 1:4 with linespoints title "appends (plugin\\_swid\\_map\\_append), between the lookups", \
     ""                  using 1:6 with linespoints title "the same appends alone (no lookups)"
