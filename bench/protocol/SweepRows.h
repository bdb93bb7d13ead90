#pragma once
// bench_discovery --sweep: the sweep rows (0 when measured, 77 without the
// routed bed).
int SweepRows(int rounds);
