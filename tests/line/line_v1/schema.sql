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
