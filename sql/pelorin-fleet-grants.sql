-- An example of the two roles a factory gives the fleet, after pelorin-fleet.sql, as a database
-- owner in the fleet's database (adapt the names to the factory's own conventions):
--
--   pelorin_station  what every station logs in as: adds records and reads them (where its log
--                    stands, a unit's latest record), nothing else; it cannot change or delete a
--                    record, nor create or alter a table.
--   pelorin_report   supervisors' tools (psql, Excel, Grafana): read only.
--
--   psql "host=DBHOST dbname=pelorin user=OWNER sslmode=verify-full" -v ON_ERROR_STOP=1 \
--        -f pelorin-fleet-grants.sql
--   psql ... -c '\password pelorin_station'      (and pelorin_report): set each role's password
--
-- Running it again changes nothing.

BEGIN;

DO $$
BEGIN
  IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'pelorin_station') THEN
    CREATE ROLE pelorin_station LOGIN;
  END IF;
  IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'pelorin_report') THEN
    CREATE ROLE pelorin_report LOGIN;
  END IF;
  EXECUTE format('GRANT CONNECT ON DATABASE %I TO pelorin_station, pelorin_report',
                 current_database());
END
$$;

GRANT USAGE ON SCHEMA public TO pelorin_station, pelorin_report;
REVOKE ALL ON pelorin_records, pelorin_schema FROM pelorin_station, pelorin_report;
GRANT SELECT, INSERT ON pelorin_records TO pelorin_station;
GRANT SELECT ON pelorin_schema TO pelorin_station;
GRANT SELECT ON pelorin_records, pelorin_schema, pelorin_flashes, pelorin_latest_unit,
                pelorin_yield_by_station, pelorin_yield_by_port, pelorin_yield_by_hour,
                pelorin_ports_to_check, pelorin_units_reflashed
   TO pelorin_report;

COMMIT;
