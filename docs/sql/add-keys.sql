-- Vesk: the primary keys of the patch tables, for a database whose BPatch or BPatchPart
-- was made before 1-tables.sql gave them keys (by vesk-publish, which made both without
-- one, or by an older 1-tables.sql, whose BPatch had an unnamed key). Run it once in the
-- public database, with the publisher's or an owner's login. Each key is its own batch: a
-- table that has its key already answers error 1779 ("already has a primary key defined
-- on it") and changes nothing, and the next batch still runs. vesk-publish never stored
-- two rows under one key, so the keys go on without removing anything.
USE VeskDB
GO

ALTER TABLE BPatch ADD CONSTRAINT PK_BPatch PRIMARY KEY (PatchId)
GO

ALTER TABLE BPatchPart ADD CONSTRAINT PK_BPatchPart PRIMARY KEY (PatchId, Part)
GO
