// The sustained load: the event bus and the bare reference queue
// (reference_queues.h) each take N events of 2 to 200 KiB (a fixed
// pseudo-random sequence) from two producer threads to three subscribers,
// with 64 events in flight: a producer waits before a post while 64 are, and
// the last subscriber returns from an event only once the producers have
// posted the 63 after it (waiting for them if they fall behind). So from the
// first event to the last the queue is never empty when the delivery loop
// looks, and the loop never sleeps: what the loop's own memory does over a
// long busy stretch shows in the peak.
//
//   event_bus_bench --sustained N
//
// Each queue runs in a process of its own, forked from this one before
// either has run, so both start alike. Prints key=value lines: the load, and
// per queue ("dvrcore", "bare") its peak resident size (VmHWM, KiB), its
// events per second, and how many times the last subscriber waited for the
// producers. Exits non-zero when a run did not deliver every event.
#pragma once

int runSustainedLoad(int argc, char **argv);
