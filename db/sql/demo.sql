-- Demo data for one tenant: load after tenant.sql into the same schema.
-- Idempotent: loading it again restores the demo rows without duplicates.

-- Three terminals: a wall terminal at the entrance, one in the workshop
-- (both know persons and interruption types) and a desk station.
INSERT INTO `term` (`tid`, `vornID`, `status`, `syn`, `flags`, `name`, `type`) VALUES
  (1, 1001, 1, 0, '3',   'Main entrance', 'VTRM'),
  (2, 1002, 1, 0, '263', 'Workshop',      'TTRM'),
  (3, 1003, 1, 0, '7',   'Front desk',    'DSK-1')
ON DUPLICATE KEY UPDATE `vornID` = VALUES(`vornID`), `status` = 1, `flags` = VALUES(`flags`),
  `name` = VALUES(`name`), `type` = VALUES(`type`);

INSERT INTO `people` (`uid`, `pid`, `status`, `begin`, `name`, `surname`, `card`, `email`, `saldo`, `present`) VALUES
  (1, 1001, 1, '1704067200', 'Ada',    'Lindqvist', 'C-0001', 'ada@example.org',    120, 1),
  (2, 1002, 1, '1704067200', 'Bruno',  'Okafor',    'C-0002', 'bruno@example.org',  -45, 0),
  (3, 1003, 1, '1704067200', 'Chiara', 'Novak',     'C-0003', 'chiara@example.org',   0, 2),
  (4, 1004, 0, '1704067200', 'Dmitri', 'Haas',      'C-0004', 'dmitri@example.org',   0, 0)
ON DUPLICATE KEY UPDATE `status` = VALUES(`status`), `name` = VALUES(`name`), `surname` = VALUES(`surname`),
  `card` = VALUES(`card`), `email` = VALUES(`email`), `saldo` = VALUES(`saldo`), `present` = VALUES(`present`);

-- Who may clock in where, with the colour group shown on the terminal.
INSERT INTO `people_term` (`uid`, `tid`, `grp`) VALUES
  (1, 1, 1), (2, 1, 2), (3, 1, 1), (4, 1, 0),
  (1, 2, 1), (3, 2, 1),
  (2, 3, 2)
ON DUPLICATE KEY UPDATE `grp` = VALUES(`grp`);

INSERT INTO `inters` (`iid`, `name`, `shortcut`, `weight`, `start`, `stop`, `color`) VALUES
  (1, 'Work',           'W', 10, '', '', '#2e7d32'),
  (2, 'Break',          'B', 20, '', '', '#f9a825'),
  (3, 'Business trip',  'T', 30, '', '', '#1565c0'),
  (4, 'Doctor',         'D', 40, '', '', '#c62828')
ON DUPLICATE KEY UPDATE `name` = VALUES(`name`), `shortcut` = VALUES(`shortcut`), `weight` = VALUES(`weight`),
  `color` = VALUES(`color`);

INSERT INTO `inters_term` (`iid`, `tid`) VALUES
  (1, 1), (2, 1), (3, 1), (4, 1),
  (1, 2), (2, 2),
  (1, 3), (3, 3)
ON DUPLICATE KEY UPDATE `iid` = VALUES(`iid`);

INSERT INTO `vars` (`name`, `value`) VALUES
  ('colorGroups', '{"1":{"name":"Office","color":"#1565c0"},"2":{"name":"Field","color":"#2e7d32"}}')
ON DUPLICATE KEY UPDATE `value` = VALUES(`value`);
