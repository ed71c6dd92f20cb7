-- Information database: one row per tenant schema.
-- `pass` holds the tenant password Base64-encoded.
CREATE TABLE IF NOT EXISTS `schemas` (
  `sid`         INT UNSIGNED     NOT NULL AUTO_INCREMENT,
  `token`       VARCHAR(191)     NOT NULL,
  `name`        VARCHAR(64)      NOT NULL,
  `user`        VARCHAR(80)      NOT NULL,
  `pass`        VARCHAR(255)     NOT NULL DEFAULT '',
  `status`      TINYINT          NOT NULL DEFAULT 1,
  `maintenance` INT UNSIGNED     NOT NULL DEFAULT 0,
  `recalc`      INT UNSIGNED     NOT NULL DEFAULT 0,
  PRIMARY KEY (`sid`),
  KEY `token_status` (`token`, `status`),
  KEY `name_status` (`name`, `status`),
  KEY `maintenance_order` (`status`, `maintenance`, `sid`),
  KEY `recalc_order` (`status`, `recalc`, `sid`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
