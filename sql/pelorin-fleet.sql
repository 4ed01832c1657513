-- Pelorin's fleet schema, version 1: the records of every station's production log, and the
-- views that supervisors read. Applied by the factory (a database owner), never by a station:
--
--   psql "host=DBHOST dbname=pelorin user=OWNER sslmode=verify-full" -v ON_ERROR_STOP=1 \
--        -f pelorin-fleet.sql
--
-- Running it again changes nothing (every object is made only when missing, the views are
-- replaced by the same definitions). The database must be UTF8 (serial numbers and messages hold
-- any text). Stations check the version row at start and refuse another version.

BEGIN;

-- Which version of this file the database holds: one row.
CREATE TABLE IF NOT EXISTS pelorin_schema (
  version integer PRIMARY KEY,
  applied timestamptz NOT NULL DEFAULT now()
);
INSERT INTO pelorin_schema (version) VALUES (1) ON CONFLICT (version) DO NOTHING;

-- One row per production-log line: the line's fields, named as in the log (the image's fields
-- flattened, words joined by underscores), and when the database received it. A row is keyed by
-- its log's identity and its sequence in that log: a record sent twice is the same row.
CREATE TABLE IF NOT EXISTS pelorin_records (
  log uuid NOT NULL,                -- the log's identity, made when the file got its first record
  sequence bigint NOT NULL CHECK (sequence > 0),
  time timestamptz NOT NULL,        -- when the station recorded the unit
  station text NOT NULL,            -- --name, or the computer's name
  port text NOT NULL,
  path text NOT NULL,
  instance text NOT NULL,
  serial text NOT NULL,             -- empty for a unit without a serial number
  image_path text NOT NULL,
  image_size bigint NOT NULL,
  image_byte_sum bigint NOT NULL,
  image_sha256 text NOT NULL,
  result text NOT NULL,             -- verified, verification-error, link-error, image-error,
                                    -- not-started, already-verified, cancelled
  bytes_sent bigint NOT NULL,
  seconds numeric NOT NULL,
  message text NOT NULL,
  known_from text NOT NULL,         -- fleet, log or none: what decided "already verified"
  received timestamptz NOT NULL DEFAULT now(),
  PRIMARY KEY (log, sequence)
);
-- A unit's latest record (the fleet's "already verified"), the views by unit, station and hour.
CREATE INDEX IF NOT EXISTS pelorin_records_serial_time ON pelorin_records (serial, time DESC);
CREATE INDEX IF NOT EXISTS pelorin_records_station_port_time
  ON pelorin_records (station, port, time DESC);
CREATE INDEX IF NOT EXISTS pelorin_records_time ON pelorin_records (time);

-- The views. A flash is a record whose result is verified or a failure (verification-error,
-- link-error, image-error, not-started); already-verified and cancelled are no flashes. Yield:
-- verified of flashes, in percent rounded to the nearest (a half up: 1 of 8 is 13); first-pass
-- yield: of the units (serial numbers) flashed in the group, those whose first flash there (in
-- time) verified. Both are NULL where the group has no flash (no unit with a serial number).
-- Counts beside every percentage, so that groups can be added up.

CREATE OR REPLACE VIEW pelorin_flashes AS
SELECT r.*, (r.result = 'verified') AS verified
  FROM pelorin_records r
 WHERE r.result IN ('verified', 'verification-error', 'link-error', 'image-error', 'not-started');

-- The latest record of every unit with a serial number, anywhere in the fleet.
CREATE OR REPLACE VIEW pelorin_latest_unit AS
SELECT DISTINCT ON (serial) serial, time, station, port, result, image_sha256, image_path,
       message, log, sequence
  FROM pelorin_records
 WHERE serial <> ''
 ORDER BY serial, time DESC, received DESC, log, sequence DESC;

CREATE OR REPLACE VIEW pelorin_yield_by_station AS
WITH firsts AS (
  SELECT DISTINCT ON (station, serial) station, serial, verified
    FROM pelorin_flashes WHERE serial <> ''
   ORDER BY station, serial, time, received, log, sequence
)
SELECT f.station,
       count(*) AS flashes,
       count(*) FILTER (WHERE f.verified) AS verified,
       count(*) FILTER (WHERE NOT f.verified) AS failed,
       round(100.0 * count(*) FILTER (WHERE f.verified) / count(*))::integer AS yield_percent,
       (SELECT count(*) FROM firsts u WHERE u.station = f.station) AS units,
       (SELECT count(*) FROM firsts u WHERE u.station = f.station AND u.verified)
         AS first_pass_verified,
       (SELECT round(100.0 * count(*) FILTER (WHERE u.verified) / nullif(count(*), 0))::integer
          FROM firsts u WHERE u.station = f.station) AS first_pass_yield_percent
  FROM pelorin_flashes f
 GROUP BY f.station;

CREATE OR REPLACE VIEW pelorin_yield_by_port AS
WITH firsts AS (
  SELECT DISTINCT ON (station, port, serial) station, port, serial, verified
    FROM pelorin_flashes WHERE serial <> ''
   ORDER BY station, port, serial, time, received, log, sequence
)
SELECT f.station, f.port,
       count(*) AS flashes,
       count(*) FILTER (WHERE f.verified) AS verified,
       count(*) FILTER (WHERE NOT f.verified) AS failed,
       round(100.0 * count(*) FILTER (WHERE f.verified) / count(*))::integer AS yield_percent,
       (SELECT count(*) FROM firsts u WHERE u.station = f.station AND u.port = f.port) AS units,
       (SELECT count(*) FROM firsts u
         WHERE u.station = f.station AND u.port = f.port AND u.verified) AS first_pass_verified,
       (SELECT round(100.0 * count(*) FILTER (WHERE u.verified) / nullif(count(*), 0))::integer
          FROM firsts u WHERE u.station = f.station AND u.port = f.port)
         AS first_pass_yield_percent
  FROM pelorin_flashes f
 GROUP BY f.station, f.port;

-- Hours of the fleet as a whole, in UTC (records are times; a supervisor's tool shows them in
-- its own zone).
CREATE OR REPLACE VIEW pelorin_yield_by_hour AS
WITH hours AS (
  SELECT date_trunc('hour', time AT TIME ZONE 'UTC') AS hour_utc, * FROM pelorin_flashes
), firsts AS (
  SELECT DISTINCT ON (hour_utc, serial) hour_utc, serial, verified
    FROM hours WHERE serial <> ''
   ORDER BY hour_utc, serial, time, received, log, sequence
)
SELECT h.hour_utc,
       count(*) AS flashes,
       count(*) FILTER (WHERE h.verified) AS verified,
       count(*) FILTER (WHERE NOT h.verified) AS failed,
       round(100.0 * count(*) FILTER (WHERE h.verified) / count(*))::integer AS yield_percent,
       (SELECT count(*) FROM firsts u WHERE u.hour_utc = h.hour_utc) AS units,
       (SELECT count(*) FROM firsts u WHERE u.hour_utc = h.hour_utc AND u.verified)
         AS first_pass_verified,
       (SELECT round(100.0 * count(*) FILTER (WHERE u.verified) / nullif(count(*), 0))::integer
          FROM firsts u WHERE u.hour_utc = h.hour_utc) AS first_pass_yield_percent
  FROM hours h
 GROUP BY h.hour_utc;

-- Ports whose last three flashes failed (the board's "check this port").
CREATE OR REPLACE VIEW pelorin_ports_to_check AS
WITH ranked AS (
  SELECT station, port, time, result, message,
         row_number() OVER (PARTITION BY station, port
                            ORDER BY time DESC, received DESC, log, sequence DESC) AS n
    FROM pelorin_flashes
)
SELECT station, port,
       max(time) AS last_time,
       (array_agg(result ORDER BY n))[1] AS last_result,
       (array_agg(message ORDER BY n))[1] AS last_message
  FROM ranked
 WHERE n <= 3
 GROUP BY station, port
HAVING count(*) = 3 AND bool_and(result <> 'verified');

-- Units flashed more than once, anywhere in the fleet.
CREATE OR REPLACE VIEW pelorin_units_reflashed AS
SELECT serial,
       count(*) AS flashes,
       count(*) FILTER (WHERE verified) AS verified,
       count(DISTINCT station) AS stations,
       min(time) AS first_time,
       max(time) AS last_time,
       (array_agg(result ORDER BY time DESC, received DESC, log, sequence DESC))[1] AS last_result
  FROM pelorin_flashes
 WHERE serial <> ''
 GROUP BY serial
HAVING count(*) > 1;

COMMIT;
