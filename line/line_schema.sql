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
