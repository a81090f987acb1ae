// The program's top level: start-up (priority, clock, identity, environment,
// folders, command line, log, cache folder, alignment settings, settings
// table), exactly one mode, and the end-of-run report. Every failure found
// here ends the process with exit status 1; -help and -version end it with 0.
#pragma once

// Runs the whole program; returns 0 after a mode has run, or 1 when the run
// printed an error on its way (its mode went on to the end).
int trel_top(int argc, char** argv, char** envp);

// What a stop signal (SIGTERM, SIGINT, SIGHUP) does before the process ends
// by it, on the signal watcher: the run says why, its private cache folder
// goes, its log is kept under a numbered name with its closing lines, and
// its temporary files are removed (no new one is made after). Output is
// silenced from then on: workers still at work are not heard from again.
// Every wait of it is bounded: the run's own end, when it holds the log
// for more than a few seconds, is left to place it (the log keeps its
// private name meanwhile, which is said), and a log the record cannot
// take a line for in time stays at its private name, where the line
// written when it was made covers it.
void trel_stopRun(int sig);

// The steps of the run's end at which a test may stop it: the mode has
// written its last result; the log is about to be placed, and about to be
// recorded (each with the end of the run held).
enum TrelEndStep { TREL_END_RESULTS = 1, TREL_END_PLACING = 2, TREL_END_RECORDING = 3 };
// Null but in tests: called on the thread that ends the run at each step.
extern void (*trel_end_fault)(TrelEndStep step);

// Installs the empty message callback with -nostdout; with a log file name
// set, registers the log's exit hook (once), names the log and opens it,
// else switches logging off.
void redirect_output();

// Writes the command line into the log only (nothing without a log name),
// breaking lines with " \" before an argument that would reach column 76.
void show_command_line(int count, char** arguments);

// The allocator self-test of -kids; ends the process with status 1.
[[noreturn]] void test_kids();
