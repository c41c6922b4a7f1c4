-- The line database (PostgreSQL): one record of identities for every station of a line.
-- `kestrel-cli line init` applies the steps below that the database has not had yet, in
-- order, each in the same transaction as the new number in line_schema; running it again
-- changes nothing. A step is never edited once shipped: a change is a new step.
--
-- Uniqueness is the database's: an identity is one row of line_identity, keyed by its kind and
-- value, so of two stations reserving the same value one insert wins and the other finds the
-- row. Ranges and blocks of one kind never overlap (exclusion constraints on their spans).

-- step 1
CREATE TABLE line_range (
  id bigserial PRIMARY KEY,
  kind smallint NOT NULL CHECK (kind BETWEEN 1 AND 3),  -- 1 IMEI bodies, 2 Bluetooth, 3 Wi-Fi
  first_value bigint NOT NULL CHECK (first_value >= 0),
  last_value bigint NOT NULL,
  next_value bigint NOT NULL,  -- the first value no block has taken yet
  added_at timestamptz NOT NULL DEFAULT now(),
  CHECK (last_value >= first_value),
  CHECK (last_value < CASE kind WHEN 1 THEN 100000000000000 ELSE 281474976710656 END),
  CHECK (next_value BETWEEN first_value AND last_value + 1),
  span int8range GENERATED ALWAYS AS
    (int8range((kind::bigint << 56) + first_value, (kind::bigint << 56) + last_value, '[]')) STORED,
  EXCLUDE USING gist (span WITH &&)
);
CREATE TABLE line_block (
  id bigserial PRIMARY KEY,
  range_id bigint NOT NULL REFERENCES line_range (id),
  kind smallint NOT NULL,
  station text NOT NULL,
  first_value bigint NOT NULL,
  last_value bigint NOT NULL,
  next_value bigint NOT NULL,  -- the station's next unused value of the block
  claimed_at timestamptz NOT NULL DEFAULT now(),
  CHECK (last_value >= first_value),
  CHECK (next_value BETWEEN first_value AND last_value + 1),
  span int8range GENERATED ALWAYS AS
    (int8range((kind::bigint << 56) + first_value, (kind::bigint << 56) + last_value, '[]')) STORED,
  EXCLUDE USING gist (span WITH &&)
);
CREATE INDEX line_block_by_station ON line_block (station, kind, id);
-- A passed phone: the station, the save stamp and the line IMEI.txt would hold for it.
CREATE TABLE line_phone (
  id bigserial PRIMARY KEY,
  station text NOT NULL,
  stamp text NOT NULL,
  record text NOT NULL,
  passed_at timestamptz NOT NULL DEFAULT now(),
  source_line bigint  -- the line number in an imported file; NULL for a station's phone
);
-- Every identity the line knows: reserved by a station for the phone on its bench, or passed.
-- Compared byte for byte (collation "C"): an identity is its exact text.
CREATE TABLE line_identity (
  kind text COLLATE "C" NOT NULL CHECK (kind IN ('IMEI', 'BT', 'WIFI', 'SN')),
  value text COLLATE "C" NOT NULL CHECK (value <> ''),
  slot text NOT NULL CHECK (slot IN ('IMEI1', 'IMEI2', 'IMEI3', 'IMEI4', 'BT', 'WIFI', 'SN1', 'SN2')),
  station text NOT NULL,
  state text NOT NULL CHECK (state IN ('reserved', 'passed')),
  reservation bigint,  -- the transaction that last reserved it
  reserved_at timestamptz NOT NULL DEFAULT now(),
  phone_id bigint,  -- the line_phone row it passed with (written in the same transaction)
  passed_at timestamptz,
  PRIMARY KEY (kind, value),
  CHECK ((state = 'passed') = (phone_id IS NOT NULL))
);
-- A station's reservations (a few at a time; passed rows stay out of this index).
CREATE INDEX line_identity_reserved ON line_identity (station) WHERE state = 'reserved';

-- step 2
-- Least privilege and history. The admin role that runs `init` owns every table and function.
-- A station logs in with a role of its own (`kestrel-cli line add-station`), a member of
-- kestrel_station, which holds no table rights: a station only calls the functions granted
-- below, each SECURITY DEFINER with the search path fixed at `init`, and each acts for the
-- calling role (session_user), never for a name the station sends; only the admin may act for
-- a named station. A role is a station of this database when line_station names it, so a
-- station of another line on the same server is refused here. line_event is the append-only
-- story of every block and identity: stations write it only through the functions.
ALTER DEFAULT PRIVILEGES REVOKE EXECUTE ON FUNCTIONS FROM PUBLIC;
DO $$
BEGIN
  IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'kestrel_station') THEN
    CREATE ROLE kestrel_station NOLOGIN;
  END IF;
  EXECUTE format('REVOKE ALL ON DATABASE %I FROM PUBLIC', current_database());
  EXECUTE format('GRANT CONNECT ON DATABASE %I TO kestrel_station', current_database());
  EXECUTE format('REVOKE ALL ON SCHEMA %I FROM PUBLIC', current_schema());
  EXECUTE format('GRANT USAGE ON SCHEMA %I TO kestrel_station', current_schema());
END $$;
CREATE TABLE line_station (
  name text PRIMARY KEY,  -- the station's login role
  added_at timestamptz NOT NULL DEFAULT now()
);
CREATE TABLE line_event (
  id bigserial PRIMARY KEY,
  at timestamptz NOT NULL DEFAULT clock_timestamp(),
  event text NOT NULL CHECK (event IN ('claimed', 'reserved', 'confirmed', 'released', 'imported',
                                       'station-added', 'station-removed')),
  station text NOT NULL,                     -- whose block, identity or account it is
  actor text NOT NULL DEFAULT session_user,  -- the role that did it
  client inet DEFAULT inet_client_addr(),    -- NULL over the local socket
  kind text COLLATE "C",
  value text COLLATE "C",
  slot text,
  phone_id bigint,  -- the line_phone row of a confirmation or an imported phone
  block_id bigint,  -- the line_block row of a claim
  detail text
);
CREATE INDEX line_event_by_value ON line_event (value) WHERE value IS NOT NULL;
CREATE INDEX line_event_by_phone ON line_event (phone_id) WHERE value IS NULL AND phone_id IS NOT NULL;
CREATE INDEX line_event_by_block ON line_event (block_id) WHERE block_id IS NOT NULL;
CREATE FUNCTION line_event_refuse() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  RAISE EXCEPTION 'line_event is append-only' USING ERRCODE = 'insufficient_privilege';
END $$;
CREATE TRIGGER line_event_append_only BEFORE UPDATE OR DELETE ON line_event
  FOR EACH ROW EXECUTE FUNCTION line_event_refuse();
CREATE TRIGGER line_event_no_truncate BEFORE TRUNCATE ON line_event
  FOR EACH STATEMENT EXECUTE FUNCTION line_event_refuse();
REVOKE ALL ON line_schema, line_range, line_block, line_phone, line_identity, line_station, line_event
  FROM PUBLIC;
REVOKE ALL ON SEQUENCE line_range_id_seq, line_block_id_seq, line_phone_id_seq, line_event_id_seq
  FROM PUBLIC;

-- Values and kinds. Refusals the stations are told about have SQLSTATE KL001; KL003: no station.
CREATE FUNCTION line_kind_name(p_kind smallint) RETURNS text LANGUAGE sql IMMUTABLE
  AS $$ SELECT CASE p_kind WHEN 1 THEN 'IMEI' WHEN 2 THEN 'BT' WHEN 3 THEN 'WIFI' END $$;
CREATE FUNCTION line_kind_number(p_kind text) RETURNS smallint LANGUAGE sql IMMUTABLE
  AS $$ SELECT (CASE p_kind WHEN 'IMEI' THEN 1 WHEN 'BT' THEN 2 WHEN 'WIFI' THEN 3 END)::smallint $$;
CREATE FUNCTION line_slot_kind(p_slot text) RETURNS text LANGUAGE sql IMMUTABLE
  AS $$ SELECT CASE WHEN p_slot IN ('IMEI1', 'IMEI2', 'IMEI3', 'IMEI4') THEN 'IMEI'
                    WHEN p_slot IN ('BT', 'WIFI') THEN p_slot
                    WHEN p_slot IN ('SN1', 'SN2') THEN 'SN' END $$;
-- A block value as text: an IMEI body of 14 digits, an address of 12 hexadecimal digits.
CREATE FUNCTION line_value_text(p_kind smallint, p_value bigint) RETURNS text LANGUAGE sql IMMUTABLE
  AS $$ SELECT CASE p_kind WHEN 1 THEN lpad(p_value::text, 14, '0')
                           ELSE lpad(to_hex(p_value), 12, '0') END $$;
-- An identity's block value (an IMEI's body, an address's number); NULL when it has none.
CREATE FUNCTION line_block_value(p_kind text, p_value text) RETURNS bigint LANGUAGE sql IMMUTABLE
  AS $$ SELECT CASE WHEN p_kind = 'IMEI' AND p_value ~ '^[0-9]{15}$' THEN substr(p_value, 1, 14)::bigint
                    WHEN p_kind IN ('BT', 'WIFI') AND p_value ~ '^[0-9a-f]{12}$'
                      THEN ('x' || lpad(p_value, 16, '0'))::bit(64)::bigint END $$;
-- Whether a slot's value has its form (addresses already lower-cased).
CREATE FUNCTION line_valid(p_slot text, p_value text) RETURNS boolean LANGUAGE sql IMMUTABLE
  AS $$ SELECT coalesce(CASE line_slot_kind(p_slot)
                          WHEN 'IMEI' THEN p_value ~ '^[0-9]{15}$'
                          WHEN 'SN' THEN p_value ~ '^[!-~]{1,64}$'
                          ELSE p_value ~ '^[0-9a-f]{12}$' END, false) $$;

-- Who speaks. The admin is the owner of the schema, or a member of it (a superuser is too).
CREATE FUNCTION line_is_admin() RETURNS boolean LANGUAGE sql STABLE SET search_path FROM CURRENT
  AS $$ SELECT pg_has_role(session_user, c.relowner, 'MEMBER') FROM pg_class c
        WHERE c.oid = 'line_schema'::regclass $$;
-- The station a call acts for: a station role is itself (naming another when `p_given` is
-- refused); the admin acts for the name given (NULL: none).
CREATE FUNCTION line_acting(p_station text, p_given boolean) RETURNS text LANGUAGE plpgsql STABLE
  SET search_path FROM CURRENT AS $$
BEGIN
  IF line_is_admin() THEN
    RETURN nullif(p_station, '');
  END IF;
  IF NOT EXISTS (SELECT 1 FROM line_station WHERE name = session_user) THEN
    RAISE EXCEPTION 'role % is not a station of this line', session_user
      USING ERRCODE = 'insufficient_privilege';
  END IF;
  IF p_given AND coalesce(p_station, '') NOT IN ('', session_user) THEN
    RAISE EXCEPTION 'station % may not act for station %', session_user, p_station
      USING ERRCODE = 'insufficient_privilege';
  END IF;
  RETURN session_user;
END $$;
CREATE FUNCTION line_station_for(p_station text) RETURNS text LANGUAGE plpgsql STABLE
  SET search_path FROM CURRENT AS $$
DECLARE
  v text := line_acting(p_station, true);
BEGIN
  IF v IS NULL THEN
    RAISE EXCEPTION 'no station name' USING ERRCODE = 'KL003';
  END IF;
  RETURN v;
END $$;
CREATE FUNCTION line_check_identities(p_slots text[], p_values text[]) RETURNS void
  LANGUAGE plpgsql IMMUTABLE AS $$
BEGIN
  IF cardinality(p_slots) IS DISTINCT FROM cardinality(p_values) OR EXISTS (
      SELECT 1 FROM unnest(p_slots, p_values) AS r(slot, value) WHERE NOT line_valid(r.slot, r.value)) THEN
    RAISE EXCEPTION 'an identity is not of its slot''s form' USING ERRCODE = 'KL001';
  END IF;
END $$;

-- A connection's start: the station it acts for, the schema version, whether it is the admin.
-- With `p_lock` it takes the session lock on the station's name that lets one live connection
-- use a name, waiting up to `p_wait_ms` for a connection that is going.
CREATE FUNCTION line_open(p_station text, p_given boolean, p_lock boolean, p_wait_ms integer)
  RETURNS TABLE (station text, version integer, admin boolean)
  LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$
#variable_conflict use_column
DECLARE
  v text := line_acting(p_station, p_given);
  locked boolean := true;
BEGIN
  IF p_lock AND v IS NOT NULL THEN
    IF p_wait_ms > 0 THEN
      PERFORM set_config('lock_timeout', p_wait_ms::text, true);
      BEGIN
        PERFORM pg_advisory_lock(hashtextextended(v, 0));
      EXCEPTION WHEN lock_not_available THEN
        locked := false;
      END;
      PERFORM set_config('lock_timeout', '0', true);
    ELSE
      locked := pg_try_advisory_lock(hashtextextended(v, 0));
    END IF;
    IF NOT locked THEN
      RAISE EXCEPTION 'station name % is in use by another connection to the line database', v
        USING ERRCODE = 'lock_not_available';
    END IF;
  END IF;
  RETURN QUERY SELECT v, (SELECT s.version FROM line_schema s LIMIT 1), line_is_admin();
END $$;

-- Claims a block of up to `p_size` values for the station from the first range with values
-- left. The range row is locked and moved on in the same statement, so two stations never get
-- the same values; the blocks' exclusion constraint stands behind that.
CREATE FUNCTION line_claim_block(p_station text, p_kind smallint, p_size integer) RETURNS boolean
  LANGUAGE plpgsql SET search_path FROM CURRENT AS $$
DECLARE
  blk record;
BEGIN
  FOR attempt IN 1..20 LOOP
    WITH r AS (SELECT id, next_value, least(p_size::bigint, last_value - next_value + 1) AS take
               FROM line_range WHERE kind = p_kind AND next_value <= last_value
               ORDER BY first_value LIMIT 1 FOR UPDATE),
    u AS (UPDATE line_range t SET next_value = t.next_value + r.take FROM r WHERE t.id = r.id
          RETURNING r.id, r.next_value AS first_value, r.take)
    INSERT INTO line_block (range_id, kind, station, first_value, last_value, next_value)
    SELECT u.id, p_kind, p_station, u.first_value, u.first_value + u.take - 1, u.first_value FROM u
    RETURNING id, first_value, last_value INTO blk;
    IF FOUND THEN
      INSERT INTO line_event (event, station, kind, block_id, detail)
      VALUES ('claimed', p_station, line_kind_name(p_kind), blk.id,
              line_value_text(p_kind, blk.first_value) || '-' || line_value_text(p_kind, blk.last_value));
      RETURN true;
    END IF;
    -- The range locked may have been used up by another station meanwhile: look again while
    -- any range has values left.
    IF NOT EXISTS (SELECT 1 FROM line_range WHERE kind = p_kind AND next_value <= last_value) THEN
      RETURN false;
    END IF;
  END LOOP;
  RETURN false;
END $$;
CREATE FUNCTION line_check_run(p_kind smallint, p_count integer, p_block integer) RETURNS void
  LANGUAGE plpgsql IMMUTABLE AS $$
BEGIN
  IF p_kind NOT BETWEEN 1 AND 3 OR p_count NOT BETWEEN 1 AND 100000 OR p_block NOT BETWEEN 1 AND 100000 THEN
    RAISE EXCEPTION 'a kind 1-3 and counts of 1 to 100000' USING ERRCODE = 'KL001';
  END IF;
END $$;

-- The first of `p_count` consecutive values of the kind that the station has not used yet, from
-- its blocks, claiming a block of max(p_block, p_count) values when they have too few left.
-- Values the line knows already (typed on some station, imported) are stepped over for good.
CREATE FUNCTION line_next_run(p_station text, p_kind smallint, p_count integer, p_block integer)
  RETURNS bigint LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$
DECLARE
  v text := line_station_for(p_station);
  b record;
  have boolean;
  known text;
BEGIN
  PERFORM line_check_run(p_kind, p_count, p_block);
  FOR attempt IN 1..200 LOOP
    SELECT id, next_value, last_value INTO b FROM line_block
    WHERE kind = p_kind AND station = v AND next_value <= last_value ORDER BY id LIMIT 1 FOR UPDATE;
    have := FOUND;
    IF have AND b.last_value - b.next_value + 1 >= p_count THEN
      -- Fixed-width texts order as their numbers: one range of the primary key.
      SELECT max(i.value) INTO known FROM line_identity i
      WHERE i.kind = line_kind_name(p_kind)
        AND i.value >= line_value_text(p_kind, b.next_value) || CASE WHEN p_kind = 1 THEN '0' ELSE '' END
        AND i.value <= line_value_text(p_kind, b.next_value + p_count - 1) || CASE WHEN p_kind = 1 THEN '9' ELSE '' END;
      IF known IS NULL THEN
        RETURN b.next_value;
      END IF;
      UPDATE line_block SET next_value = least(last_value + 1, coalesce(
          line_block_value(line_kind_name(p_kind), known) + 1, b.next_value + p_count))
      WHERE id = b.id;
      CONTINUE;
    END IF;
    IF have THEN
      -- Too few left for one phone: the rest of the block stays the station's, unused.
      UPDATE line_block SET next_value = last_value + 1 WHERE id = b.id;
    END IF;
    EXIT WHEN NOT line_claim_block(v, p_kind, greatest(p_block, p_count));
  END LOOP;
  RAISE EXCEPTION 'no % consecutive unused % values left in the line''s ranges', p_count,
    line_kind_name(p_kind) USING ERRCODE = 'KL001';
END $$;

-- Takes `p_count` values of the kind for the station at once (used up when returned).
CREATE FUNCTION line_allocate(p_station text, p_kind smallint, p_count integer, p_block integer)
  RETURNS SETOF bigint LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$
DECLARE
  v text := line_station_for(p_station);
  b record;
  taken bigint := 0;
  take bigint;
  claims integer := 0;
BEGIN
  PERFORM line_check_run(p_kind, p_count, p_block);
  WHILE taken < p_count LOOP
    SELECT id, next_value, last_value INTO b FROM line_block
    WHERE kind = p_kind AND station = v AND next_value <= last_value ORDER BY id LIMIT 1 FOR UPDATE;
    IF NOT FOUND THEN
      claims := claims + 1;
      IF claims > 20 OR NOT line_claim_block(v, p_kind, greatest(p_block, (p_count - taken)::integer)) THEN
        RAISE EXCEPTION 'the line''s % ranges are used up', line_kind_name(p_kind) USING ERRCODE = 'KL001';
      END IF;
      CONTINUE;
    END IF;
    take := least(b.last_value - b.next_value + 1, p_count - taken);
    UPDATE line_block SET next_value = next_value + take WHERE id = b.id;
    RETURN QUERY SELECT generate_series(b.next_value, b.next_value + take - 1);
    taken := taken + take;
  END LOOP;
END $$;

-- Reserves the identities for the station in one transaction: inserted, or taken over from its
-- own reservation; its other reservations go. When one is held elsewhere (another station's, or
-- passed by any) nothing changes and the answer names it and its holder. The identities are
-- locked in (kind, value) order, so two stations wanting some of the same values never wait on
-- each other in a circle.
CREATE FUNCTION line_reserve(p_station text, p_slots text[], p_values text[])
  RETURNS TABLE (slot text, value text, holder text, state text)
  LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$
#variable_conflict use_column
DECLARE
  v text := line_station_for(p_station);
  m record;
BEGIN
  PERFORM line_check_identities(p_slots, p_values);
  FOR attempt IN 1..3 LOOP
    BEGIN
      WITH req AS (SELECT DISTINCT ON (line_slot_kind(r.slot), r.value)
                     line_slot_kind(r.slot) AS kind, r.slot, r.value
                   FROM unnest(p_slots, p_values) AS r(slot, value) ORDER BY 1, 3),
      ins AS (INSERT INTO line_identity AS i (kind, value, slot, station, state, reservation)
              SELECT q.kind, q.value, q.slot, v, 'reserved', txid_current() FROM req q ORDER BY q.kind, q.value
              ON CONFLICT (kind, value) DO UPDATE SET reservation = EXCLUDED.reservation,
                slot = EXCLUDED.slot, reserved_at = now()
              WHERE i.station = EXCLUDED.station AND i.state = 'reserved'
              RETURNING i.kind, i.value, i.slot),
      del AS (DELETE FROM line_identity d WHERE d.station = v AND d.state = 'reserved'
              AND NOT EXISTS (SELECT 1 FROM req WHERE req.kind = d.kind AND req.value = d.value)
              RETURNING d.kind, d.value, d.slot),
      ev AS (INSERT INTO line_event (event, station, kind, value, slot, detail)
             SELECT 'reserved', v, n.kind, n.value, n.slot, NULL FROM ins n
             UNION ALL
             SELECT 'released', v, o.kind, o.value, o.slot, 'not reserved again' FROM del o)
      SELECT r.kind, r.slot, r.value INTO m FROM req r
      WHERE NOT EXISTS (SELECT 1 FROM ins WHERE ins.kind = r.kind AND ins.value = r.value)
      ORDER BY r.kind, r.value LIMIT 1;
      IF NOT FOUND THEN
        RETURN;
      END IF;
      RAISE EXCEPTION USING ERRCODE = 'KL002';  -- undoes this attempt
    EXCEPTION WHEN SQLSTATE 'KL002' THEN
      NULL;
    END;
    RETURN QUERY SELECT m.slot, m.value, i.station, i.state FROM line_identity i
      WHERE i.kind = m.kind AND i.value = m.value;
    IF FOUND THEN
      RETURN;
    END IF;
    -- The row that stood in the way went meanwhile: try again.
  END LOOP;
  RAISE EXCEPTION 'the reservation did not settle' USING ERRCODE = 'KL001';
END $$;

-- Records a passed phone: the identities become passed (free, or reserved by the station), the
-- phone row keeps the stamp and the record line, and the station's blocks move past the IMEI
-- bodies and addresses used. When one is held elsewhere nothing is recorded and the answer
-- names it.
CREATE FUNCTION line_confirm(p_station text, p_slots text[], p_values text[], p_stamp text,
                             p_record text)
  RETURNS TABLE (slot text, value text, holder text, state text)
  LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$
#variable_conflict use_column
DECLARE
  v text := line_station_for(p_station);
  m record;
BEGIN
  PERFORM line_check_identities(p_slots, p_values);
  FOR attempt IN 1..3 LOOP
    BEGIN
      WITH req AS (SELECT DISTINCT ON (line_slot_kind(r.slot), r.value)
                     line_slot_kind(r.slot) AS kind, r.slot, r.value
                   FROM unnest(p_slots, p_values) AS r(slot, value) ORDER BY 1, 3),
      used AS (SELECT line_kind_number(q.kind) AS kind, line_block_value(q.kind, q.value) AS num
               FROM req q WHERE line_block_value(q.kind, q.value) IS NOT NULL),
      ph AS (INSERT INTO line_phone (station, stamp, record) VALUES (v, p_stamp, p_record)
             RETURNING id),
      ins AS (INSERT INTO line_identity AS i (kind, value, slot, station, state, phone_id, passed_at)
              SELECT q.kind, q.value, q.slot, v, 'passed', (SELECT id FROM ph), now() FROM req q
              ORDER BY q.kind, q.value
              ON CONFLICT (kind, value) DO UPDATE SET state = 'passed', phone_id = EXCLUDED.phone_id,
                passed_at = now(), slot = EXCLUDED.slot
              WHERE i.station = EXCLUDED.station AND i.state = 'reserved'
              RETURNING i.kind, i.value, i.slot, i.phone_id),
      blk AS (UPDATE line_block b SET next_value = greatest(b.next_value, (SELECT max(u.num) + 1
                FROM used u WHERE u.kind = b.kind AND u.num BETWEEN b.first_value AND b.last_value))
              WHERE b.station = v AND EXISTS (SELECT 1 FROM used u WHERE u.kind = b.kind AND
                u.num BETWEEN b.first_value AND b.last_value)),
      ev AS (INSERT INTO line_event (event, station, kind, value, slot, phone_id)
             SELECT 'confirmed', v, n.kind, n.value, n.slot, n.phone_id FROM ins n)
      SELECT r.kind, r.slot, r.value INTO m FROM req r
      WHERE NOT EXISTS (SELECT 1 FROM ins WHERE ins.kind = r.kind AND ins.value = r.value)
      ORDER BY r.kind, r.value LIMIT 1;
      IF NOT FOUND THEN
        RETURN;
      END IF;
      RAISE EXCEPTION USING ERRCODE = 'KL002';
    EXCEPTION WHEN SQLSTATE 'KL002' THEN
      NULL;
    END;
    RETURN QUERY SELECT m.slot, m.value, i.station, i.state FROM line_identity i
      WHERE i.kind = m.kind AND i.value = m.value;
    IF FOUND THEN
      RETURN;
    END IF;
  END LOOP;
  RAISE EXCEPTION 'the confirmation did not settle' USING ERRCODE = 'KL001';
END $$;

-- Gives the station's reservations back; how many there were.
CREATE FUNCTION line_release(p_station text) RETURNS integer
  LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$
DECLARE
  v text := line_station_for(p_station);
  n integer;
BEGIN
  WITH del AS (DELETE FROM line_identity WHERE station = v AND state = 'reserved'
               RETURNING kind, value, slot),
  ev AS (INSERT INTO line_event (event, station, kind, value, slot, detail)
         SELECT 'released', v, d.kind, d.value, d.slot, 'released' FROM del d)
  SELECT count(*) INTO n FROM del;
  RETURN n;
END $$;

-- What the station holds reserved.
CREATE FUNCTION line_held(p_station text) RETURNS TABLE (slot text, value text)
  LANGUAGE plpgsql STABLE SECURITY DEFINER SET search_path FROM CURRENT AS $$
#variable_conflict use_column
DECLARE
  v text := line_station_for(p_station);
BEGIN
  RETURN QUERY SELECT i.slot, i.value FROM line_identity i
    WHERE i.station = v AND i.state = 'reserved' ORDER BY i.slot;
END $$;

-- The line in lines of text: ranges, open blocks, each station's reservations and passes, and
-- the last `p_events` events (a station sees its own).
CREATE FUNCTION line_status(p_events integer) RETURNS SETOF text
  LANGUAGE plpgsql STABLE SECURITY DEFINER SET search_path FROM CURRENT AS $$
DECLARE
  admin boolean := line_is_admin();
  me text := CASE WHEN line_is_admin() THEN NULL ELSE line_acting(NULL, false) END;
BEGIN
  RETURN QUERY SELECT format('range %s %s-%s free %s', line_kind_name(kind),
      line_value_text(kind, first_value), line_value_text(kind, last_value), last_value - next_value + 1)
    FROM line_range ORDER BY kind, first_value;
  RETURN QUERY SELECT format('block %s %s %s-%s next %s', station, line_kind_name(kind),
      line_value_text(kind, first_value), line_value_text(kind, last_value),
      line_value_text(kind, next_value))
    FROM line_block WHERE next_value <= last_value ORDER BY station, kind, id;
  RETURN QUERY SELECT format('station %s reserved %s passed %s phones %s', station,
      count(*) FILTER (WHERE state = 'reserved'), count(*) FILTER (WHERE state = 'passed'),
      count(DISTINCT phone_id))
    FROM line_identity GROUP BY station ORDER BY station;
  RETURN QUERY SELECT line_event_text(e) FROM line_event e
    WHERE e.id IN (SELECT l.id FROM line_event l WHERE admin OR l.station = me
                   ORDER BY l.id DESC LIMIT greatest(p_events, 0))
    ORDER BY e.id;
END $$;
CREATE FUNCTION line_event_text(e line_event) RETURNS text LANGUAGE sql STABLE AS $$
  SELECT concat_ws(' ', 'event', to_char(e.at, 'YYYY-MM-DD HH24:MI:SS'), e.event, e.station,
                   'by=' || e.actor, 'from=' || host(e.client), e.slot, e.value, e.detail) $$;

-- One identity's story (admin): its events, the phone it passed with or came in with, and the
-- claim of the block it lies in.
CREATE FUNCTION line_history(p_value text) RETURNS SETOF text
  LANGUAGE sql STABLE SET search_path FROM CURRENT AS $$
  WITH id AS (SELECT i.kind, i.value, i.phone_id FROM line_identity i
              WHERE i.value IN (p_value, lower(p_value))),
  blk AS (SELECT b.id FROM line_block b
          WHERE (b.kind = 1 AND line_block_value('IMEI', p_value) BETWEEN b.first_value AND b.last_value)
             OR (b.kind IN (2, 3) AND line_block_value('BT', lower(p_value)) BETWEEN b.first_value AND b.last_value))
  SELECT line_event_text(e) FROM line_event e
  WHERE e.value IN (p_value, lower(p_value))
     OR (e.value IS NULL AND e.phone_id IN (SELECT phone_id FROM id WHERE phone_id IS NOT NULL))
     OR e.block_id IN (SELECT id FROM blk)
  ORDER BY e.id $$;

-- Station accounts (admin): a login role in kestrel_station, named in line_station.
CREATE FUNCTION line_add_station(p_name text, p_password text) RETURNS void
  LANGUAGE plpgsql SET search_path FROM CURRENT AS $$
BEGIN
  IF p_name !~ '^[!-~]([ -~]*[!-~])?$' OR octet_length(p_name) > 63 THEN
    RAISE EXCEPTION 'a station name is 1 to 63 printable ASCII characters' USING ERRCODE = 'KL001';
  END IF;
  IF EXISTS (SELECT 1 FROM pg_roles WHERE rolname = p_name) THEN
    RAISE EXCEPTION 'a role named % exists already', p_name USING ERRCODE = 'KL001';
  END IF;
  EXECUTE format('CREATE ROLE %I LOGIN PASSWORD %L IN ROLE kestrel_station', p_name, p_password);
  INSERT INTO line_station (name) VALUES (p_name);
  INSERT INTO line_event (event, station) VALUES ('station-added', p_name);
END $$;
-- Removes a station's account; refused while it holds reservations unless `p_release` gives
-- them back. Its blocks and passed phones stay. How many reservations were given back.
CREATE FUNCTION line_remove_station(p_name text, p_release boolean) RETURNS integer
  LANGUAGE plpgsql SET search_path FROM CURRENT AS $$
DECLARE
  n integer;
BEGIN
  IF NOT EXISTS (SELECT 1 FROM line_station WHERE name = p_name) THEN
    RAISE EXCEPTION 'no station % in this line', p_name USING ERRCODE = 'KL001';
  END IF;
  SELECT count(*) INTO n FROM line_identity WHERE station = p_name AND state = 'reserved';
  IF n > 0 AND NOT p_release THEN
    RAISE EXCEPTION 'station % holds % reservations (--release gives them back)', p_name, n
      USING ERRCODE = 'KL001';
  END IF;
  WITH del AS (DELETE FROM line_identity WHERE station = p_name AND state = 'reserved'
               RETURNING kind, value, slot)
  INSERT INTO line_event (event, station, kind, value, slot, detail)
  SELECT 'released', p_name, d.kind, d.value, d.slot, 'station removed' FROM del d;
  DELETE FROM line_station WHERE name = p_name;
  IF EXISTS (SELECT 1 FROM pg_roles r JOIN pg_auth_members m ON m.member = r.oid
             WHERE r.rolname = p_name AND m.roleid = 'kestrel_station'::regrole AND NOT r.rolsuper) THEN
    EXECUTE format('DROP ROLE %I', p_name);
  END IF;
  INSERT INTO line_event (event, station) VALUES ('station-removed', p_name);
  RETURN n;
END $$;
-- Every station name of the line: accounts, and names on blocks, reservations and phones that
-- have none (stations from before accounts, imports); with reservations and phones.
CREATE FUNCTION line_stations() RETURNS TABLE (name text, account boolean, reserved bigint, phones bigint)
  LANGUAGE sql STABLE SET search_path FROM CURRENT AS $$
  WITH names AS (SELECT s.name FROM line_station s
                 UNION SELECT b.station FROM line_block b
                 UNION SELECT i.station FROM line_identity i WHERE i.state = 'reserved'
                 UNION SELECT p.station FROM line_phone p),
  res AS (SELECT i.station, count(*) AS n FROM line_identity i WHERE i.state = 'reserved'
          GROUP BY i.station),
  ph AS (SELECT p.station, count(*) AS n FROM line_phone p GROUP BY p.station)
  SELECT n.name, EXISTS (SELECT 1 FROM line_station s WHERE s.name = n.name),
         coalesce(res.n, 0), coalesce(ph.n, 0)
  FROM names n LEFT JOIN res ON res.station = n.name LEFT JOIN ph ON ph.station = n.name
  ORDER BY n.name $$;

GRANT EXECUTE ON FUNCTION line_open(text, boolean, boolean, integer),
  line_next_run(text, smallint, integer, integer), line_allocate(text, smallint, integer, integer),
  line_reserve(text, text[], text[]), line_confirm(text, text[], text[], text, text),
  line_release(text), line_held(text), line_status(integer) TO kestrel_station;

-- step 3
-- Failover and offline work. A station that cannot reach the line writes only values of its own
-- blocks and keeps what it did in an outbox of its own, which it hands on when the line answers
-- again: line_own_blocks tells it its blocks, line_hand_on_reserve and line_hand_on_confirm take
-- the outbox's entries, each once (line_outbox_entry keys them), and every hand-off is an event.
-- What makes a block's values the station's alone: a value of another station's block that it
-- has not used yet is refused to everyone else (line_reserve, line_confirm). The import records one event per
-- batch with its count (phone_id .. phone_last).
ALTER TABLE line_event DROP CONSTRAINT line_event_event_check;
ALTER TABLE line_event ADD CONSTRAINT line_event_event_check CHECK (event IN ('claimed', 'reserved',
  'confirmed', 'released', 'imported', 'station-added', 'station-removed', 'handed-on',
  'outbox-refused'));
ALTER TABLE line_event ADD COLUMN phone_last bigint;  -- the last line_phone row of an import batch
CREATE INDEX line_event_imports ON line_event (phone_id) WHERE phone_last IS NOT NULL;
CREATE TABLE line_outbox_entry (
  station text NOT NULL,
  entry text COLLATE "C" NOT NULL,  -- the outbox's id and the entry's number in it
  kind text NOT NULL,
  written_at timestamptz NOT NULL,  -- when the station wrote it into its outbox
  handed_at timestamptz NOT NULL DEFAULT now(),
  outcome text NOT NULL CHECK (outcome IN ('handed-on', 'refused')),
  slot text,  -- a refusal: the identity, its holder and why
  value text,
  holder text,
  state text,
  PRIMARY KEY (station, entry)
);
REVOKE ALL ON line_outbox_entry FROM PUBLIC;

-- The session's start, shared by both forms below: the station it acts for, holding the lock on
-- its name when asked.
CREATE FUNCTION line_open_as(p_station text, p_given boolean, p_lock boolean, p_wait_ms integer)
  RETURNS text LANGUAGE plpgsql SET search_path FROM CURRENT AS $$
DECLARE
  v text := line_acting(p_station, p_given);
  locked boolean := true;
BEGIN
  IF p_lock AND v IS NOT NULL THEN
    IF p_wait_ms > 0 THEN
      PERFORM set_config('lock_timeout', p_wait_ms::text, true);
      BEGIN
        PERFORM pg_advisory_lock(hashtextextended(v, 0));
      EXCEPTION WHEN lock_not_available THEN
        locked := false;
      END;
      PERFORM set_config('lock_timeout', '0', true);
    ELSE
      locked := pg_try_advisory_lock(hashtextextended(v, 0));
    END IF;
    IF NOT locked THEN
      RAISE EXCEPTION 'station name % is in use by another connection to the line database', v
        USING ERRCODE = 'lock_not_available';
    END IF;
  END IF;
  RETURN v;
END $$;
-- Builds of schema version 2 open their sessions here and go on only when it says 2: every
-- function they call answers as it did, so it says 2 to them.
CREATE OR REPLACE FUNCTION line_open(p_station text, p_given boolean, p_lock boolean,
                                     p_wait_ms integer)
  RETURNS TABLE (station text, version integer, admin boolean)
  LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$
BEGIN
  RETURN QUERY SELECT line_open_as(p_station, p_given, p_lock, p_wait_ms), 2, line_is_admin();
END $$;
-- Later builds name their schema version (`p_build`): `serves` tells whether this schema still
-- answers the calls of that build (every build from version 3 on, until a step says otherwise).
CREATE FUNCTION line_open_session(p_station text, p_given boolean, p_lock boolean,
                                  p_wait_ms integer, p_build integer)
  RETURNS TABLE (station text, version integer, admin boolean, serves boolean)
  LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$
BEGIN
  RETURN QUERY SELECT line_open_as(p_station, p_given, p_lock, p_wait_ms),
    (SELECT s.version FROM line_schema s LIMIT 1), line_is_admin(), p_build >= 3;
END $$;

-- An identity that a block of another station than `p_station` holds among the values that
-- station has not used yet (at or after the block's next_value): slot, value, holder. Serial
-- numbers lie in no block.
-- (A loop of one simple lookup per value: it runs with every reservation and confirmation.)
CREATE FUNCTION line_in_other_block(p_station text, p_slots text[], p_values text[])
  RETURNS TABLE (slot text, value text, holder text) LANGUAGE plpgsql STABLE
  SET search_path FROM CURRENT AS $$
DECLARE
  k text;
  n bigint;
  who text;
BEGIN
  FOR i IN 1..coalesce(cardinality(p_slots), 0) LOOP
    k := line_slot_kind(p_slots[i]);
    n := line_block_value(k, p_values[i]);
    CONTINUE WHEN n IS NULL;
    SELECT b.station INTO who FROM line_block b
    WHERE b.span @> ((line_kind_number(k)::bigint << 56) + n) AND b.next_value <= n
      AND b.station <> p_station
    LIMIT 1;
    IF FOUND THEN
      slot := p_slots[i];
      value := p_values[i];
      holder := who;
      RETURN NEXT;
      RETURN;
    END IF;
  END LOOP;
END $$;

-- Reserve and confirm as in step 1, and a value another station's block holds for it is refused
-- (state 'block', its holder that station) when no identity stands in the way first.
CREATE OR REPLACE FUNCTION line_reserve(p_station text, p_slots text[], p_values text[])
  RETURNS TABLE (slot text, value text, holder text, state text)
  LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$
#variable_conflict use_column
DECLARE
  v text := line_station_for(p_station);
  m record;
  held boolean;
  other record;
BEGIN
  PERFORM line_check_identities(p_slots, p_values);
  SELECT o.slot, o.value, o.holder INTO other FROM line_in_other_block(v, p_slots, p_values) o;
  FOR attempt IN 1..3 LOOP
    held := false;
    BEGIN
      WITH req AS (SELECT DISTINCT ON (line_slot_kind(r.slot), r.value)
                     line_slot_kind(r.slot) AS kind, r.slot, r.value
                   FROM unnest(p_slots, p_values) AS r(slot, value) ORDER BY 1, 3),
      ins AS (INSERT INTO line_identity AS i (kind, value, slot, station, state, reservation)
              SELECT q.kind, q.value, q.slot, v, 'reserved', txid_current() FROM req q ORDER BY q.kind, q.value
              ON CONFLICT (kind, value) DO UPDATE SET reservation = EXCLUDED.reservation,
                slot = EXCLUDED.slot, reserved_at = now()
              WHERE i.station = EXCLUDED.station AND i.state = 'reserved'
              RETURNING i.kind, i.value, i.slot),
      del AS (DELETE FROM line_identity d WHERE d.station = v AND d.state = 'reserved'
              AND NOT EXISTS (SELECT 1 FROM req WHERE req.kind = d.kind AND req.value = d.value)
              RETURNING d.kind, d.value, d.slot),
      ev AS (INSERT INTO line_event (event, station, kind, value, slot, detail)
             SELECT 'reserved', v, n.kind, n.value, n.slot, NULL FROM ins n
             UNION ALL
             SELECT 'released', v, o.kind, o.value, o.slot, 'not reserved again' FROM del o)
      SELECT r.kind, r.slot, r.value INTO m FROM req r
      WHERE NOT EXISTS (SELECT 1 FROM ins WHERE ins.kind = r.kind AND ins.value = r.value)
      ORDER BY r.kind, r.value LIMIT 1;
      held := FOUND;
      IF NOT held AND other.holder IS NULL THEN
        RETURN;
      END IF;
      RAISE EXCEPTION USING ERRCODE = 'KL002';  -- undoes this attempt
    EXCEPTION WHEN SQLSTATE 'KL002' THEN
      NULL;
    END;
    IF NOT held THEN
      RETURN QUERY SELECT other.slot, other.value, other.holder, 'block'::text;
      RETURN;
    END IF;
    RETURN QUERY SELECT m.slot, m.value, i.station, i.state FROM line_identity i
      WHERE i.kind = m.kind AND i.value = m.value;
    IF FOUND THEN
      RETURN;
    END IF;
  END LOOP;
  RAISE EXCEPTION 'the reservation did not settle' USING ERRCODE = 'KL001';
END $$;
CREATE OR REPLACE FUNCTION line_confirm(p_station text, p_slots text[], p_values text[],
                                        p_stamp text, p_record text)
  RETURNS TABLE (slot text, value text, holder text, state text)
  LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$
#variable_conflict use_column
DECLARE
  v text := line_station_for(p_station);
  m record;
  held boolean;
  other record;
BEGIN
  PERFORM line_check_identities(p_slots, p_values);
  SELECT o.slot, o.value, o.holder INTO other FROM line_in_other_block(v, p_slots, p_values) o;
  FOR attempt IN 1..3 LOOP
    held := false;
    BEGIN
      WITH req AS (SELECT DISTINCT ON (line_slot_kind(r.slot), r.value)
                     line_slot_kind(r.slot) AS kind, r.slot, r.value
                   FROM unnest(p_slots, p_values) AS r(slot, value) ORDER BY 1, 3),
      used AS (SELECT line_kind_number(q.kind) AS kind, line_block_value(q.kind, q.value) AS num
               FROM req q WHERE line_block_value(q.kind, q.value) IS NOT NULL),
      ph AS (INSERT INTO line_phone (station, stamp, record) VALUES (v, p_stamp, p_record)
             RETURNING id),
      ins AS (INSERT INTO line_identity AS i (kind, value, slot, station, state, phone_id, passed_at)
              SELECT q.kind, q.value, q.slot, v, 'passed', (SELECT id FROM ph), now() FROM req q
              ORDER BY q.kind, q.value
              ON CONFLICT (kind, value) DO UPDATE SET state = 'passed', phone_id = EXCLUDED.phone_id,
                passed_at = now(), slot = EXCLUDED.slot
              WHERE i.station = EXCLUDED.station AND i.state = 'reserved'
              RETURNING i.kind, i.value, i.slot, i.phone_id),
      blk AS (UPDATE line_block b SET next_value = greatest(b.next_value, (SELECT max(u.num) + 1
                FROM used u WHERE u.kind = b.kind AND u.num BETWEEN b.first_value AND b.last_value))
              WHERE b.station = v AND EXISTS (SELECT 1 FROM used u WHERE u.kind = b.kind AND
                u.num BETWEEN b.first_value AND b.last_value)),
      ev AS (INSERT INTO line_event (event, station, kind, value, slot, phone_id)
             SELECT 'confirmed', v, n.kind, n.value, n.slot, n.phone_id FROM ins n)
      SELECT r.kind, r.slot, r.value INTO m FROM req r
      WHERE NOT EXISTS (SELECT 1 FROM ins WHERE ins.kind = r.kind AND ins.value = r.value)
      ORDER BY r.kind, r.value LIMIT 1;
      held := FOUND;
      IF NOT held AND other.holder IS NULL THEN
        RETURN;
      END IF;
      RAISE EXCEPTION USING ERRCODE = 'KL002';
    EXCEPTION WHEN SQLSTATE 'KL002' THEN
      NULL;
    END;
    IF NOT held THEN
      RETURN QUERY SELECT other.slot, other.value, other.holder, 'block'::text;
      RETURN;
    END IF;
    RETURN QUERY SELECT m.slot, m.value, i.station, i.state FROM line_identity i
      WHERE i.kind = m.kind AND i.value = m.value;
    IF FOUND THEN
      RETURN;
    END IF;
  END LOOP;
  RAISE EXCEPTION 'the confirmation did not settle' USING ERRCODE = 'KL001';
END $$;

-- The station's blocks with values left, and of each the last value before the first one the
-- line knows already (at or after next_value; last_value when there is none): what the station
-- may write on its own while the line does not answer.
CREATE FUNCTION line_own_blocks(p_station text)
  RETURNS TABLE (id bigint, kind smallint, first_value bigint, last_value bigint,
                 next_value bigint, usable_last bigint)
  LANGUAGE plpgsql STABLE SECURITY DEFINER SET search_path FROM CURRENT AS $$
#variable_conflict use_column
DECLARE
  v text := line_station_for(p_station);
BEGIN
  RETURN QUERY SELECT b.id, b.kind, b.first_value, b.last_value, b.next_value,
    coalesce((SELECT line_block_value(line_kind_name(b.kind), min(i.value)) - 1 FROM line_identity i
              WHERE i.kind = line_kind_name(b.kind)
                AND i.value >= line_value_text(b.kind, b.next_value) || CASE WHEN b.kind = 1 THEN '0' ELSE '' END
                AND i.value <= line_value_text(b.kind, b.last_value) || CASE WHEN b.kind = 1 THEN '9' ELSE '' END),
             b.last_value)
    FROM line_block b WHERE b.station = v AND b.next_value <= b.last_value ORDER BY b.id;
END $$;

-- Outbox entries. An entry is handed on once: the first call records it (handed on or refused)
-- and every later call with the same key answers as the first did, changing nothing (`again`).
-- A station hands on only what is its own: each value lies in one of its blocks or is reserved
-- by it (state 'not-own' otherwise, the holder the station itself).
CREATE FUNCTION line_not_own(p_station text, p_slots text[], p_values text[])
  RETURNS TABLE (slot text, value text) LANGUAGE plpgsql STABLE SET search_path FROM CURRENT AS $$
DECLARE
  k text;
  n bigint;
BEGIN
  FOR i IN 1..coalesce(cardinality(p_slots), 0) LOOP
    k := line_slot_kind(p_slots[i]);
    n := line_block_value(k, p_values[i]);
    CONTINUE WHEN n IS NOT NULL AND EXISTS (
      SELECT 1 FROM line_block b WHERE b.span @> ((line_kind_number(k)::bigint << 56) + n)
        AND b.station = p_station);
    CONTINUE WHEN EXISTS (SELECT 1 FROM line_identity li WHERE li.kind = k
                            AND li.value = p_values[i] AND li.station = p_station
                            AND li.state = 'reserved');
    slot := p_slots[i];
    value := p_values[i];
    RETURN NEXT;
    RETURN;
  END LOOP;
END $$;
CREATE FUNCTION line_record_entry(p_station text, p_entry text, p_kind text, p_written timestamptz,
                                  p_outcome text, p_slot text, p_value text, p_holder text,
                                  p_state text, p_phone bigint, p_detail text)
  RETURNS void LANGUAGE plpgsql SET search_path FROM CURRENT AS $$
BEGIN
  INSERT INTO line_outbox_entry (station, entry, kind, written_at, outcome, slot, value, holder, state)
  VALUES (p_station, p_entry, p_kind, p_written, p_outcome, p_slot, p_value, p_holder, p_state);
  INSERT INTO line_event (event, station, slot, value, phone_id, detail)
  VALUES (CASE p_outcome WHEN 'handed-on' THEN 'handed-on' ELSE 'outbox-refused' END, p_station,
          p_slot, p_value, p_phone,
          format('%s %s written %s, %s s before', p_kind, p_entry,
                 to_char(p_written, 'YYYY-MM-DD HH24:MI:SS'),
                 round(extract(epoch FROM clock_timestamp() - p_written))) ||
          coalesce(': ' || p_detail, ''));
END $$;
CREATE FUNCTION line_hand_on_reserve(p_station text, p_entry text, p_written timestamptz,
                                     p_slots text[], p_values text[])
  RETURNS TABLE (outcome text, again boolean, slot text, value text, holder text, state text)
  LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$
#variable_conflict use_column
DECLARE
  v text := line_station_for(p_station);
  e record;
  m record;
BEGIN
  PERFORM line_check_identities(p_slots, p_values);
  SELECT o.outcome, o.slot, o.value, o.holder, o.state INTO e FROM line_outbox_entry o
  WHERE o.station = v AND o.entry = p_entry;
  IF FOUND THEN
    RETURN QUERY SELECT e.outcome, true, e.slot, e.value, e.holder, e.state;
    RETURN;
  END IF;
  SELECT n.slot, n.value INTO m FROM line_not_own(v, p_slots, p_values) n;
  IF FOUND THEN
    PERFORM line_record_entry(v, p_entry, 'reserve', p_written, 'refused', m.slot, m.value, v,
                              'not-own', NULL, 'in no block of the station');
    RETURN QUERY SELECT 'refused'::text, false, m.slot, m.value, v, 'not-own'::text;
    RETURN;
  END IF;
  SELECT r.slot, r.value, r.holder, r.state INTO m FROM line_reserve(v, p_slots, p_values) r;
  IF FOUND THEN
    PERFORM line_record_entry(v, p_entry, 'reserve', p_written, 'refused', m.slot, m.value,
                              m.holder, m.state, NULL, m.state || ' by ' || m.holder);
    RETURN QUERY SELECT 'refused'::text, false, m.slot, m.value, m.holder, m.state;
    RETURN;
  END IF;
  -- The values may be in a phone: the station's blocks move past them for good.
  UPDATE line_block b SET next_value = greatest(b.next_value, u.num + 1)
  FROM (SELECT line_kind_number(line_slot_kind(r.slot)) AS kind,
               max(line_block_value(line_slot_kind(r.slot), r.value)) AS num
        FROM unnest(p_slots, p_values) AS r(slot, value) GROUP BY 1) u
  WHERE b.station = v AND b.kind = u.kind AND u.num BETWEEN b.first_value AND b.last_value;
  PERFORM line_record_entry(v, p_entry, 'reserve', p_written, 'handed-on', NULL, NULL, NULL, NULL,
                            NULL, NULL);
  RETURN QUERY SELECT 'handed-on'::text, false, NULL::text, NULL::text, NULL::text, NULL::text;
END $$;
CREATE FUNCTION line_hand_on_confirm(p_station text, p_entry text, p_written timestamptz,
                                     p_slots text[], p_values text[], p_stamp text, p_record text)
  RETURNS TABLE (outcome text, again boolean, slot text, value text, holder text, state text)
  LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$
#variable_conflict use_column
DECLARE
  v text := line_station_for(p_station);
  e record;
  m record;
  phone bigint;
BEGIN
  PERFORM line_check_identities(p_slots, p_values);
  SELECT o.outcome, o.slot, o.value, o.holder, o.state INTO e FROM line_outbox_entry o
  WHERE o.station = v AND o.entry = p_entry;
  IF FOUND THEN
    RETURN QUERY SELECT e.outcome, true, e.slot, e.value, e.holder, e.state;
    RETURN;
  END IF;
  -- A confirmation the line took while its answer was lost: the phone is recorded already.
  SELECT i.phone_id INTO phone FROM unnest(p_slots, p_values) AS r(slot, value)
  JOIN line_identity i ON i.kind = line_slot_kind(r.slot) AND i.value = r.value
  WHERE i.station = v AND i.state = 'passed' LIMIT 1;
  IF phone IS NOT NULL AND EXISTS (SELECT 1 FROM line_phone p WHERE p.id = phone
                                   AND p.stamp = p_stamp AND p.record = p_record)
     AND NOT EXISTS (SELECT 1 FROM unnest(p_slots, p_values) AS r(slot, value)
                     WHERE NOT EXISTS (SELECT 1 FROM line_identity i WHERE i.kind = line_slot_kind(r.slot)
                                       AND i.value = r.value AND i.phone_id = phone)) THEN
    PERFORM line_record_entry(v, p_entry, 'confirm', p_written, 'handed-on', NULL, NULL, NULL,
                              NULL, phone, 'the phone was recorded already');
    RETURN QUERY SELECT 'handed-on'::text, true, NULL::text, NULL::text, NULL::text, NULL::text;
    RETURN;
  END IF;
  SELECT n.slot, n.value INTO m FROM line_not_own(v, p_slots, p_values) n;
  IF FOUND THEN
    PERFORM line_record_entry(v, p_entry, 'confirm', p_written, 'refused', m.slot, m.value, v,
                              'not-own', NULL, 'in no block of the station');
    RETURN QUERY SELECT 'refused'::text, false, m.slot, m.value, v, 'not-own'::text;
    RETURN;
  END IF;
  SELECT r.slot, r.value, r.holder, r.state INTO m
  FROM line_confirm(v, p_slots, p_values, p_stamp, p_record) r;
  IF FOUND THEN
    PERFORM line_record_entry(v, p_entry, 'confirm', p_written, 'refused', m.slot, m.value,
                              m.holder, m.state, NULL, m.state || ' by ' || m.holder);
    RETURN QUERY SELECT 'refused'::text, false, m.slot, m.value, m.holder, m.state;
    RETURN;
  END IF;
  SELECT i.phone_id INTO phone FROM line_identity i
  WHERE i.kind = line_slot_kind(p_slots[1]) AND i.value = p_values[1];
  PERFORM line_record_entry(v, p_entry, 'confirm', p_written, 'handed-on', NULL, NULL, NULL, NULL,
                            phone, NULL);
  RETURN QUERY SELECT 'handed-on'::text, false, NULL::text, NULL::text, NULL::text, NULL::text;
END $$;

-- Status as in step 2, with a line per station whose outbox the line took: how many entries,
-- how many refused, the last hand-off and the longest an entry waited.
CREATE OR REPLACE FUNCTION line_status(p_events integer) RETURNS SETOF text
  LANGUAGE plpgsql STABLE SECURITY DEFINER SET search_path FROM CURRENT AS $$
DECLARE
  admin boolean := line_is_admin();
  me text := CASE WHEN line_is_admin() THEN NULL ELSE line_acting(NULL, false) END;
BEGIN
  RETURN QUERY SELECT format('range %s %s-%s free %s', line_kind_name(kind),
      line_value_text(kind, first_value), line_value_text(kind, last_value), last_value - next_value + 1)
    FROM line_range ORDER BY kind, first_value;
  RETURN QUERY SELECT format('block %s %s %s-%s next %s', station, line_kind_name(kind),
      line_value_text(kind, first_value), line_value_text(kind, last_value),
      line_value_text(kind, next_value))
    FROM line_block WHERE next_value <= last_value ORDER BY station, kind, id;
  RETURN QUERY SELECT format('station %s reserved %s passed %s phones %s', station,
      count(*) FILTER (WHERE state = 'reserved'), count(*) FILTER (WHERE state = 'passed'),
      count(DISTINCT phone_id))
    FROM line_identity GROUP BY station ORDER BY station;
  RETURN QUERY SELECT format('outbox %s handed-on %s refused %s last %s waited up to %s s', o.station,
      count(*) FILTER (WHERE o.outcome = 'handed-on'), count(*) FILTER (WHERE o.outcome = 'refused'),
      to_char(max(o.handed_at), 'YYYY-MM-DD HH24:MI:SS'),
      round(max(extract(epoch FROM o.handed_at - o.written_at))))
    FROM line_outbox_entry o WHERE admin OR o.station = me GROUP BY o.station ORDER BY o.station;
  RETURN QUERY SELECT line_event_text(e) FROM line_event e
    WHERE e.id IN (SELECT l.id FROM line_event l WHERE admin OR l.station = me
                   ORDER BY l.id DESC LIMIT greatest(p_events, 0))
    ORDER BY e.id;
END $$;

-- History as in step 1, with the import event of the batch an identity came in with.
CREATE OR REPLACE FUNCTION line_history(p_value text) RETURNS SETOF text
  LANGUAGE sql STABLE SET search_path FROM CURRENT AS $$
  WITH id AS (SELECT i.kind, i.value, i.phone_id FROM line_identity i
              WHERE i.value IN (p_value, lower(p_value))),
  imp AS (SELECT p.id, p.station FROM line_phone p
          WHERE p.id IN (SELECT phone_id FROM id) AND p.source_line IS NOT NULL),
  blk AS (SELECT b.id FROM line_block b
          WHERE (b.kind = 1 AND line_block_value('IMEI', p_value) BETWEEN b.first_value AND b.last_value)
             OR (b.kind IN (2, 3) AND line_block_value('BT', lower(p_value)) BETWEEN b.first_value AND b.last_value))
  SELECT line_event_text(e) FROM line_event e
  WHERE e.value IN (p_value, lower(p_value))
     OR (e.value IS NULL AND e.phone_id IN (SELECT phone_id FROM id WHERE phone_id IS NOT NULL))
     OR e.block_id IN (SELECT id FROM blk)
     OR (e.phone_last IS NOT NULL AND EXISTS (SELECT 1 FROM imp WHERE imp.station = e.station
                                              AND imp.id BETWEEN e.phone_id AND e.phone_last))
  ORDER BY e.id $$;

GRANT EXECUTE ON FUNCTION line_open_session(text, boolean, boolean, integer, integer),
  line_own_blocks(text), line_hand_on_reserve(text, text, timestamptz, text[], text[]),
  line_hand_on_confirm(text, text, timestamptz, text[], text[], text, text) TO kestrel_station;

-- step 4
-- The line at a glance. Every station hands the summary of each job it ran to the line
-- (line_hand_on_job): when it started (and the station's offset from UTC then, so that reports
-- count in the station's own hours), how long it took, its mode, kind and outcome, the step it
-- failed at with that step's code, the first line of its result text with the text's id in the
-- string table, and its IMEI1. A summary is keyed by its station and start: handed on again it
-- changes nothing. Reports read them through line_jobs (a station its own), the line page
-- through line_board. A reporting role (`kestrel-cli line add-reporter`), a member of
-- kestrel_reporter named in line_reporter, may read the summaries and nothing else.
DO $$
BEGIN
  IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'kestrel_reporter') THEN
    CREATE ROLE kestrel_reporter NOLOGIN;
  END IF;
  EXECUTE format('GRANT CONNECT ON DATABASE %I TO kestrel_reporter', current_database());
  EXECUTE format('GRANT USAGE ON SCHEMA %I TO kestrel_reporter', current_schema());
END $$;
ALTER TABLE line_event DROP CONSTRAINT line_event_event_check;
ALTER TABLE line_event ADD CONSTRAINT line_event_event_check CHECK (event IN ('claimed', 'reserved',
  'confirmed', 'released', 'imported', 'station-added', 'station-removed', 'handed-on',
  'outbox-refused', 'reporter-added'));
CREATE TABLE line_reporter (
  name text PRIMARY KEY,  -- the reporting login role
  added_at timestamptz NOT NULL DEFAULT now()
);
CREATE TABLE line_job (
  station text NOT NULL,
  started_at timestamptz NOT NULL,
  utc_offset integer NOT NULL,  -- seconds east of UTC of the station's clock at the start
  duration_ms bigint NOT NULL,
  mode text NOT NULL,           -- 'calibration', 'normal'
  kind text NOT NULL,           -- 'write', 'read'
  outcome text NOT NULL,        -- 'passed', 'failed', 'timed-out', 'stopped', 'shown'
  step text,                    -- a job not passed: the step it failed at (NULL: none run)
  code integer,                 -- and that step's result code
  message text,                 -- the first line of the result text
  message_id integer,           -- its id in the string table (NULL: none)
  imei1 text,
  received_at timestamptz NOT NULL DEFAULT now(),
  PRIMARY KEY (station, started_at)
);
-- The last failure of a station, and a period's jobs over every station.
CREATE INDEX line_job_failures ON line_job (station, started_at)
  WHERE outcome IN ('failed', 'timed-out');
CREATE INDEX line_job_by_start ON line_job (started_at);
REVOKE ALL ON line_reporter, line_job FROM PUBLIC;

CREATE FUNCTION line_is_reporter() RETURNS boolean LANGUAGE sql STABLE SET search_path FROM CURRENT
  AS $$ SELECT EXISTS (SELECT 1 FROM line_reporter r WHERE r.name = session_user)
               AND pg_has_role(session_user, 'kestrel_reporter', 'MEMBER') $$;
-- Whose summaries the caller reads: the admin and a reporting role every station's (or the one
-- named), a station its own whatever it names.
CREATE FUNCTION line_job_reader(p_station text) RETURNS text LANGUAGE plpgsql STABLE
  SET search_path FROM CURRENT AS $$
BEGIN
  IF line_is_admin() OR line_is_reporter() THEN
    RETURN nullif(p_station, '');
  END IF;
  RETURN line_acting(NULL, false);
END $$;

-- The session's start as in step 3; a reporting role acts for no station and takes no lock.
CREATE OR REPLACE FUNCTION line_open_session(p_station text, p_given boolean, p_lock boolean,
                                             p_wait_ms integer, p_build integer)
  RETURNS TABLE (station text, version integer, admin boolean, serves boolean)
  LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$
BEGIN
  IF NOT line_is_admin() AND line_is_reporter() THEN
    IF p_lock OR coalesce(p_station, '') <> '' THEN
      RAISE EXCEPTION 'reporting role % acts for no station', session_user
        USING ERRCODE = 'insufficient_privilege';
    END IF;
    RETURN QUERY SELECT NULL::text, (SELECT s.version FROM line_schema s LIMIT 1), false,
      p_build >= 3;
    RETURN;
  END IF;
  RETURN QUERY SELECT line_open_as(p_station, p_given, p_lock, p_wait_ms),
    (SELECT s.version FROM line_schema s LIMIT 1), line_is_admin(), p_build >= 3;
END $$;

-- A job's summary, for the station the call acts for: 'taken', 'again' (the line had it; nothing
-- changed) or 'busy' (a lock held the row up beyond a second: try again later, without the
-- station's next reservation waiting behind it). A summary out of form is refused.
CREATE FUNCTION line_hand_on_job(p_station text, p_started timestamptz, p_offset integer,
                                 p_ms bigint, p_mode text, p_kind text, p_outcome text,
                                 p_step text, p_code integer, p_message text,
                                 p_message_id integer, p_imei1 text)
  RETURNS text LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT
  SET lock_timeout = '1s' AS $$
DECLARE
  v text := line_station_for(p_station);
BEGIN
  IF p_started IS NULL OR p_offset IS NULL OR p_offset NOT BETWEEN -64800 AND 64800
     OR p_ms IS NULL OR p_ms < 0 OR p_mode IS NULL OR p_mode NOT IN ('calibration', 'normal')
     OR p_kind IS NULL OR p_kind NOT IN ('write', 'read') OR p_outcome IS NULL
     OR p_outcome NOT IN ('passed', 'failed', 'timed-out', 'stopped', 'shown')
     OR octet_length(p_step) > 128 OR char_length(p_message) > 500
     OR p_message_id NOT BETWEEN 1 AND 65535 OR p_imei1 !~ '^[0-9]{15}$' THEN
    RAISE EXCEPTION 'a job summary out of form' USING ERRCODE = 'KL001';
  END IF;
  BEGIN
    INSERT INTO line_job (station, started_at, utc_offset, duration_ms, mode, kind, outcome, step,
                          code, message, message_id, imei1)
    VALUES (v, p_started, p_offset, p_ms, p_mode, p_kind, p_outcome, nullif(p_step, ''), p_code,
            p_message, p_message_id, p_imei1)
    ON CONFLICT (station, started_at) DO NOTHING;
    RETURN CASE WHEN FOUND THEN 'taken' ELSE 'again' END;
  EXCEPTION WHEN lock_not_available THEN
    RETURN 'busy';
  END;
END $$;

-- The start of the newest summary the line holds of the station (NULL: none), from which the
-- station hands on what a crash kept from it.
CREATE FUNCTION line_newest_job(p_station text) RETURNS timestamptz LANGUAGE plpgsql STABLE
  SECURITY DEFINER SET search_path FROM CURRENT AS $$
DECLARE
  v text := line_station_for(p_station);
BEGIN
  RETURN (SELECT max(j.started_at) FROM line_job j WHERE j.station = v);
END $$;

-- The summaries of the jobs started on the local days [p_from, p_to] of their stations (NULL
-- leaves an end open), by station and start. The index bounds the search by UTC, the local
-- day (the start moved by its offset) decides.
CREATE FUNCTION line_jobs(p_station text, p_from date, p_to date)
  RETURNS TABLE (station text, started_ms bigint, utc_offset integer, duration_ms bigint,
                 mode text, kind text, outcome text, step text, code integer, message text,
                 message_id integer, imei1 text)
  LANGUAGE plpgsql STABLE SECURITY DEFINER SET search_path FROM CURRENT AS $$
#variable_conflict use_column
DECLARE
  who text := line_job_reader(p_station);
BEGIN
  RETURN QUERY SELECT j.station, (extract(epoch FROM j.started_at) * 1000)::bigint, j.utc_offset,
      j.duration_ms, j.mode, j.kind, j.outcome, j.step, j.code, j.message, j.message_id, j.imei1
    FROM line_job j
    WHERE (who IS NULL OR j.station = who)
      AND (p_from IS NULL OR (j.started_at >= (p_from::timestamp AT TIME ZONE 'UTC') - interval '19 hours'
           AND ((j.started_at AT TIME ZONE 'UTC') + j.utc_offset * interval '1 second')::date >= p_from))
      AND (p_to IS NULL OR (j.started_at < ((p_to + 1)::timestamp AT TIME ZONE 'UTC') + interval '19 hours'
           AND ((j.started_at AT TIME ZONE 'UTC') + j.utc_offset * interval '1 second')::date <= p_to))
    ORDER BY j.station, j.started_at;
END $$;

-- The line page, one row per station (those with an account, and those with a job in the last
-- day): its phones (passed, failed, timed out) and passes of the last `p_window_s` seconds, when
-- it last passed a phone (the job's end) and how many seconds ago, its last failure, and the
-- server's time. Admin and reporting roles. (A few index lookups per station: compiling the
-- query to machine code would cost more than running it.)
CREATE FUNCTION line_board(p_window_s integer)
  RETURNS TABLE (station text, phones bigint, passed bigint, last_pass timestamptz,
                 since_pass_s double precision, failed_at timestamptz, failed_offset integer,
                 failed_outcome text, failed_step text, failed_code integer, failed_message text,
                 failed_message_id integer, at timestamptz)
  LANGUAGE plpgsql STABLE SECURITY DEFINER SET search_path FROM CURRENT SET jit = off AS $$
#variable_conflict use_column
BEGIN
  IF NOT (line_is_admin() OR line_is_reporter()) THEN
    RAISE EXCEPTION 'the line page is for the admin and reporting roles'
      USING ERRCODE = 'insufficient_privilege';
  END IF;
  RETURN QUERY
  WITH RECURSIVE seen AS (
    SELECT (SELECT min(j.station) FROM line_job j) AS name
    UNION ALL
    SELECT (SELECT min(j.station) FROM line_job j WHERE j.station > s.name) FROM seen s
    WHERE s.name IS NOT NULL),
  names AS (SELECT s.name FROM seen s WHERE s.name IS NOT NULL
              AND (SELECT max(j.started_at) FROM line_job j WHERE j.station = s.name)
                  > now() - interval '1 day'
            UNION SELECT a.name FROM line_station a)
  SELECT n.name, h.phones, h.passed, p.ended, extract(epoch FROM now() - p.ended)::double precision,
         f.started_at, f.utc_offset, f.outcome, f.step, f.code, f.message, f.message_id, now()
  FROM names n
  LEFT JOIN LATERAL (
    SELECT count(*) FILTER (WHERE j.outcome IN ('passed', 'failed', 'timed-out')) AS phones,
           count(*) FILTER (WHERE j.outcome = 'passed') AS passed
    FROM line_job j WHERE j.station = n.name
      AND j.started_at >= now() - greatest(p_window_s, 1) * interval '1 second') h ON true
  LEFT JOIN LATERAL (
    SELECT j.started_at + j.duration_ms * interval '1 millisecond' AS ended FROM line_job j
    WHERE j.station = n.name AND j.outcome = 'passed' ORDER BY j.started_at DESC LIMIT 1) p ON true
  LEFT JOIN LATERAL (
    SELECT j.started_at, j.utc_offset, j.outcome, j.step, j.code, j.message, j.message_id
    FROM line_job j
    WHERE j.station = n.name AND j.outcome IN ('failed', 'timed-out')
    ORDER BY j.started_at DESC LIMIT 1) f ON true
  ORDER BY n.name;
END $$;

-- Reporting accounts (admin): a login role in kestrel_reporter, named in line_reporter.
CREATE FUNCTION line_add_reporter(p_name text, p_password text) RETURNS void
  LANGUAGE plpgsql SET search_path FROM CURRENT AS $$
BEGIN
  IF p_name !~ '^[!-~]([ -~]*[!-~])?$' OR octet_length(p_name) > 63 THEN
    RAISE EXCEPTION 'a reporter name is 1 to 63 printable ASCII characters' USING ERRCODE = 'KL001';
  END IF;
  IF EXISTS (SELECT 1 FROM pg_roles WHERE rolname = p_name) THEN
    RAISE EXCEPTION 'a role named % exists already', p_name USING ERRCODE = 'KL001';
  END IF;
  EXECUTE format('CREATE ROLE %I LOGIN PASSWORD %L IN ROLE kestrel_reporter', p_name, p_password);
  INSERT INTO line_reporter (name) VALUES (p_name);
  INSERT INTO line_event (event, station) VALUES ('reporter-added', p_name);
END $$;

GRANT EXECUTE ON FUNCTION line_hand_on_job(text, timestamptz, integer, bigint, text, text, text,
  text, integer, text, integer, text), line_newest_job(text), line_jobs(text, date, date)
  TO kestrel_station;
GRANT EXECUTE ON FUNCTION line_open_session(text, boolean, boolean, integer, integer),
  line_jobs(text, date, date), line_board(integer) TO kestrel_reporter;
