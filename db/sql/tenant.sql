-- Attendance tables of one tenant schema. Load into an empty database:
--   mariadb -h HOST -P PORT -u ADMIN -p TENANT_DB < db/sql/tenant.sql
--
-- Several columns are text although they hold numbers: terminals write them
-- as trimmed text, also when it is empty (term.flags, people.admin/access/
-- begin/end), and MariaDB's strict mode refuses '' for an integer column.
-- Readers convert them ('' reads as 0 / false). Texts are stored as sent, so
-- every text column takes at least 255 characters (free text as TEXT): a long
-- card number or version string must not be refused as "Data too long".
--
-- Keys: every statement of the terminal handlers reaches its rows through a
-- key of the terminal, person, entrance or setting it names (checked with
-- EXPLAIN on a tenant of 1,000 terminals, 20,000 persons and 100,000
-- markers; bench/bench_sync.sh prints the plans). One statement still reads
-- a whole table, and no key can change that: the person-marking
-- "Update `term` ... WHERE status = 1 AND tid IN(SELECT tid FROM people_term
-- ...)" walks all of `term` by its primary key with a dependent subquery,
-- because MariaDB before 11.1 plans single-table UPDATEs without semi-joins.

CREATE TABLE IF NOT EXISTS `term` (
  `tid`     INT UNSIGNED NOT NULL AUTO_INCREMENT,
  `vornID`  INT UNSIGNED NOT NULL DEFAULT 0,
  `status`  TINYINT      NOT NULL DEFAULT 1,
  `syn`     INT UNSIGNED NOT NULL DEFAULT 0,
  `flags`   VARCHAR(255) NOT NULL DEFAULT '0',
  `online`  INT UNSIGNED NOT NULL DEFAULT 0,
  `name`    VARCHAR(255) NOT NULL DEFAULT '',
  `type`    VARCHAR(255) NOT NULL DEFAULT '',
  `fpu`     VARCHAR(255) NOT NULL DEFAULT '',
  `sdu`     VARCHAR(255) NOT NULL DEFAULT '',
  `hddu`    VARCHAR(255) NOT NULL DEFAULT '',
  `cpuu`    VARCHAR(255) NOT NULL DEFAULT '',
  `memu`    VARCHAR(255) NOT NULL DEFAULT '',
  `accNum`  VARCHAR(255) NOT NULL DEFAULT '',
  `crNum`   VARCHAR(255) NOT NULL DEFAULT '',
  `btime`   VARCHAR(255) NOT NULL DEFAULT '',
  `ver`     VARCHAR(255) NOT NULL DEFAULT '',
  `ip`      VARCHAR(255) NOT NULL DEFAULT '',
  `mac`     VARCHAR(255) NOT NULL DEFAULT '',
  PRIMARY KEY (`tid`),
  -- registration looks up the newest terminal of a Vorn ID (tid comes with
  -- the key, so ORDER BY tid DESC LIMIT 1 reads one entry)
  KEY `vornID` (`vornID`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS `people` (
  `uid`     INT UNSIGNED NOT NULL AUTO_INCREMENT,
  `pid`     INT UNSIGNED NOT NULL,
  `status`  TINYINT      NOT NULL DEFAULT 1,
  `begin`   VARCHAR(255) NOT NULL DEFAULT '0',
  `end`     VARCHAR(255) NULL     DEFAULT NULL,
  `name`    VARCHAR(255) NOT NULL DEFAULT '',
  `surname` VARCHAR(255) NOT NULL DEFAULT '',
  `title`   VARCHAR(255) NOT NULL DEFAULT '',
  `title2`  VARCHAR(255) NOT NULL DEFAULT '',
  `card`    VARCHAR(255) NOT NULL DEFAULT '',
  `email`   VARCHAR(255) NOT NULL DEFAULT '',
  `phone`   VARCHAR(255) NOT NULL DEFAULT '',
  `admin`   VARCHAR(255) NOT NULL DEFAULT '0',
  `access`  VARCHAR(255) NOT NULL DEFAULT '0',
  `saldo`   INT          NOT NULL DEFAULT 0,
  `present` INT UNSIGNED NOT NULL DEFAULT 0,
  PRIMARY KEY (`uid`),
  UNIQUE KEY `pid` (`pid`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS `people_term` (
  `uid` INT UNSIGNED NOT NULL,
  `tid` INT UNSIGNED NOT NULL,
  `grp` INT UNSIGNED NOT NULL DEFAULT 0,
  PRIMARY KEY (`uid`, `tid`),
  KEY `tid` (`tid`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS `inters` (
  `iid`      INT UNSIGNED NOT NULL AUTO_INCREMENT,
  `name`     VARCHAR(255) NOT NULL DEFAULT '',
  `shortcut` VARCHAR(255) NOT NULL DEFAULT '',
  `weight`   INT          NOT NULL DEFAULT 0,
  `start`    VARCHAR(255) NOT NULL DEFAULT '',
  `stop`     VARCHAR(255) NOT NULL DEFAULT '',
  `color`    VARCHAR(255) NOT NULL DEFAULT '',
  PRIMARY KEY (`iid`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS `inters_term` (
  `iid` INT UNSIGNED NOT NULL,
  `tid` INT UNSIGNED NOT NULL,
  PRIMARY KEY (`tid`, `iid`),
  KEY `iid` (`iid`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- One entrance per terminal and reference id: a resent upload collides with
-- `tid_refId` instead of storing a second row.
CREATE TABLE IF NOT EXISTS `inters_data` (
  `id`          INT UNSIGNED NOT NULL AUTO_INCREMENT,
  `tid`         INT UNSIGNED NOT NULL,
  `uid`         INT UNSIGNED NOT NULL,
  `iid`         INT UNSIGNED NOT NULL,
  `refId`       INT UNSIGNED NOT NULL,
  `type`        VARCHAR(255) NOT NULL DEFAULT '',
  `description` TEXT         NOT NULL DEFAULT '',
  `date`        INT UNSIGNED NOT NULL DEFAULT 0,
  `created`     INT UNSIGNED NOT NULL DEFAULT 0,
  `photo`       MEDIUMBLOB   NULL,
  `del`         TINYINT      NOT NULL DEFAULT 0,
  PRIMARY KEY (`id`),
  UNIQUE KEY `tid_refId` (`tid`, `refId`),
  KEY `uid_date` (`uid`, `date`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Synchronisation markers. The person marker statement inserts without a
-- column list, so the column order is fixed: tid, type, ref, ref_col, ref_id,
-- created, flags.
CREATE TABLE IF NOT EXISTS `term_sync` (
  `tid`     INT UNSIGNED NOT NULL,
  `type`    CHAR(1)      NOT NULL DEFAULT 'U',
  `ref`     VARCHAR(255) NOT NULL DEFAULT '',
  `ref_col` VARCHAR(255) NOT NULL DEFAULT '',
  `ref_id`  INT UNSIGNED NOT NULL DEFAULT 0,
  `created` INT UNSIGNED NOT NULL DEFAULT 0,
  `flags`   INT UNSIGNED NOT NULL DEFAULT 0,
  -- the pending lists read one kind of one terminal in `created` order
  -- (no filesort), and the recomputation of `syn` reads the terminal's
  -- flags from this key alone
  KEY `tid_flags_created` (`tid`, `flags`, `created`),
  -- the confirmation deletes one terminal's markers older than a time
  KEY `tid_created` (`tid`, `created`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS `vars` (
  `name`  VARCHAR(255) NOT NULL,
  `value` TEXT         NULL,
  PRIMARY KEY (`name`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

DELIMITER //

-- Midnight (session time zone) of the day that holds ts.
CREATE FUNCTION IF NOT EXISTS `midnightFromTs`(ts INT UNSIGNED) RETURNS INT UNSIGNED
  DETERMINISTIC
BEGIN
  RETURN UNIX_TIMESTAMP(DATE(FROM_UNIXTIME(ts)));
END //

-- Balance of a person at time ts. This schema keeps the balance that the
-- accounting side stores in people.saldo; a deployment with a time account
-- replaces this function with its own computation. Unknown persons have 0.
CREATE FUNCTION IF NOT EXISTS `getSaldo`(person INT UNSIGNED, ts INT UNSIGNED) RETURNS INT
  READS SQL DATA
BEGIN
  -- A scalar subquery instead of SELECT ... INTO: an unknown person gives 0
  -- without the "no data" warning.
  RETURN IFNULL((SELECT saldo FROM people WHERE uid = person), 0);
END //

DELIMITER ;

-- Terminals send "end" as text, also when it is empty. An empty end means "no
-- end"; stored as '' it would compare as 0, a time long past, and the person
-- would vanish from the terminal's person list. Store NULL instead.
CREATE TRIGGER IF NOT EXISTS `people_end_insert` BEFORE INSERT ON `people` FOR EACH ROW
  SET NEW.`end` = NULLIF(TRIM(NEW.`end`), '');
CREATE TRIGGER IF NOT EXISTS `people_end_update` BEFORE UPDATE ON `people` FOR EACH ROW
  SET NEW.`end` = NULLIF(TRIM(NEW.`end`), '');
