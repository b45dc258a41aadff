# Shows every signal of the loaded VCD, the whole trace in view:
#   gtkwave -S tools/trace/gtkwave-all-signals.tcl trace.vcd
set signals [list]
for {set i 0} {$i < [gtkwave::getNumFacs]} {incr i} {
    lappend signals [gtkwave::getFacName $i]
}
gtkwave::addSignalsFromList $signals
gtkwave::/Time/Zoom/Zoom_Full
