# Drawn by bench/report.sh; expects the data files served, refusals and pending,
# reference (the earlier revision refusing beside the current daemon, or empty) and output.
set terminal pngcairo size 1400,560 font "sans,10"
set output output
set style data histogram
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set grid ytics
set yrange [0:*]
set offsets 0, 0, graph 0.22, 0
set key autotitle columnhead
set multiplot

set origin 0, 0
set size 0.58, 1
set title "Served connections per second, hello command on 127.0.0.1"
set ylabel "connections per second"
set xlabel "clients in flight (burst: 2000 connects at 512)"
set key inside top left horizontal Left reverse maxrows 2 font ",9"
plot for [i=2:6] served using i:xtic(1) lc i-1

set origin 0.58, 0
set size 0.2, 1
set title "Refusals per second"
set ylabel ""
set xlabel "clients in flight"
set key inside top left vertical Left reverse maxrows 3 font ",9"
if (reference eq "") {
    plot refusals using 2:xtic(1) title "sockherd -c 0 -r" lc 2, \
         refusals using 3 title "accept, write, close" lc 7
} else {
    plot refusals using 2:xtic(1) title "sockherd -c 0 -r" lc 2, \
         refusals using 4 title "sockherd of ".reference lc 4, \
         refusals using 3 title "accept, write, close" lc 7
}

set origin 0.78, 0
set size 0.22, 1
set title "sockherd, served per second at c=32"
set xlabel "refused clients pending"
set key inside top left vertical Left reverse font ",9"
plot pending using 2:xtic(1) title "sockherd" lc 2

unset multiplot
