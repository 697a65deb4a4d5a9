// What a user might do instead: the samples as a DuckDB table, grouped by
// kernel with the default query's figures, on one thread.
//   node group_by_kernel.mjs SAMPLES.csv [RUNS]
// Prints the median of RUNS runs (default 5) of the aggregates alone, and of
// the interval union per (kernel, phase, epoch) by window functions.
import { DuckDBInstance } from '@duckdb/node-api';

const [csv, runsText] = process.argv.slice(2);
const runs = Number(runsText ?? 5);
const instance = await DuckDBInstance.create(':memory:', { threads: '1' });
const db = await instance.connect();
await db.run(`CREATE TABLE s AS SELECT * FROM read_csv('${csv}', header = true)`);

const aggregates = `
  SELECT kernel, count(*) AS samples, count(DISTINCT tile) AS tiles,
         count(DISTINCT (phase, epoch)) AS phases, sum(duration) AS work,
         quantile_disc(duration, 0.5) AS p50, quantile_disc(duration, 0.95) AS p95,
         max(duration) AS maximum, min("offset") AS first,
         max("offset" + duration) AS last
  FROM s GROUP BY kernel`;
const union = `
  WITH runs AS (
    SELECT kernel, phase, epoch, "offset" AS b, "offset" + duration AS e FROM s),
  reach AS (
    SELECT *, max(e) OVER (PARTITION BY kernel, phase, epoch ORDER BY b, e
                           ROWS BETWEEN UNBOUNDED PRECEDING AND 1 PRECEDING) AS before
    FROM runs),
  islands AS (
    SELECT *, sum(CASE WHEN before IS NULL OR b > before THEN 1 ELSE 0 END)
              OVER (PARTITION BY kernel, phase, epoch ORDER BY b, e
                    ROWS UNBOUNDED PRECEDING) AS island
    FROM reach)
  SELECT kernel, sum(length) AS phase_cycles FROM (
    SELECT kernel, phase, epoch, island, max(e) - min(b) AS length
    FROM islands GROUP BY ALL) GROUP BY kernel`;

async function median(sql) {
  const times = [];
  for (let i = 0; i < runs; ++i) {
    const start = process.hrtime.bigint();
    await (await db.run(sql)).getRows();
    times.push(Number(process.hrtime.bigint() - start) / 1e6);
  }
  times.sort((a, b) => a - b);
  return times[Math.floor(times.length / 2)];
}

console.log(`aggregates: ${(await median(aggregates)).toFixed(1)} ms`);
console.log(`union by window functions: ${(await median(union)).toFixed(1)} ms`);
