-- One large tenant for the benchmarks, loaded into a schema made from
-- db/sql/tenant.sql (needs MariaDB's sequence engine):
--   1,000 terminals (vornID 100000 + tid), flags 271 and every kind pending;
--   20,000 persons, 200 per terminal, each on ten neighbouring terminals;
--   20 interruption types, 10 per terminal;
--   200,000 entrances, 200 per terminal (refId 1 to 200);
--   100,000 pending markers, 100 per terminal: 60 persons, 20 balances,
--   15 presence states, 5 interruption types.
INSERT INTO term (tid, vornID, status, syn, flags, name, type)
  SELECT seq, 100000 + seq, 1, 15, '271', CONCAT('T', seq), 'DSK' FROM seq_1_to_1000;
INSERT INTO people (uid, pid, status, begin, end, name, surname, card, saldo, present)
  SELECT seq, 500000 + seq, 1, '0', NULL, CONCAT('Name', seq), CONCAT('Surname', seq), CONCAT('C', seq),
         seq % 100, seq % 3 FROM seq_1_to_20000;
INSERT INTO people_term (uid, tid, grp)
  SELECT ((t.seq - 1) * 20 + j.seq) % 20000 + 1, t.seq, j.seq % 5 FROM seq_1_to_1000 t JOIN seq_0_to_199 j;
INSERT INTO inters (iid, name, shortcut, weight)
  SELECT seq, CONCAT('Type', seq), CONCAT('S', seq), seq FROM seq_1_to_20;
INSERT INTO inters_term (iid, tid)
  SELECT (t.seq + j.seq) % 20 + 1, t.seq FROM seq_1_to_1000 t JOIN seq_0_to_9 j;
INSERT INTO inters_data (tid, uid, iid, refId, type, date, created)
  SELECT t.seq, ((t.seq - 1) * 20) % 20000 + 1, 1, j.seq, 'in', UNIX_TIMESTAMP() - 86400 + j.seq,
         UNIX_TIMESTAMP() - 86400 + j.seq FROM seq_1_to_1000 t JOIN seq_1_to_200 j;
INSERT INTO term_sync
  SELECT t.seq, 'U', 'people_term', IF(j.seq < 95, 'uid', 'iid'),
         IF(j.seq < 95, ((t.seq - 1) * 20 + j.seq * 2) % 20000 + 1, (t.seq + j.seq) % 20 + 1),
         UNIX_TIMESTAMP() - 1000 + j.seq,
         CASE WHEN j.seq < 60 THEN 2 WHEN j.seq < 80 THEN 4 WHEN j.seq < 95 THEN 8 ELSE 1 END
  FROM seq_1_to_1000 t JOIN seq_0_to_99 j;
INSERT INTO vars (name, value) VALUES ('colorGroups', '[]');
ANALYZE TABLE term, people, people_term, inters, inters_term, inters_data, term_sync, vars;
