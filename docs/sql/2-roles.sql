-- Vesk: what each login may do in the public database, run after 1-tables.sql in the same
-- database. Two roles:
--   vesk_operators  the shared login every workstation holds: reads aUser, BVersion,
--                   CopyRight and the patch tables, and nothing else;
--   vesk_publisher  the release manager's login for vesk-publish: writes BVersion,
--                   CopyRight and the patch tables, and adds the columns vesk-publish adds
--                   to an older BVersion. It cannot read aUser or change any other table.
-- Neither role may create tables: 1-tables.sql creates every table vesk-publish would.
USE VeskDB
GO

CREATE ROLE vesk_operators
GO
GRANT SELECT ON dbo.aUser TO vesk_operators
GRANT SELECT ON dbo.BVersion TO vesk_operators
GRANT SELECT ON dbo.CopyRight TO vesk_operators
GRANT SELECT ON dbo.BPatch TO vesk_operators
GRANT SELECT ON dbo.BPatchPart TO vesk_operators
GO

CREATE ROLE vesk_publisher
GO
GRANT SELECT, INSERT, UPDATE, DELETE ON dbo.BVersion TO vesk_publisher
GRANT SELECT, INSERT, UPDATE, DELETE ON dbo.CopyRight TO vesk_publisher
GRANT SELECT, INSERT, UPDATE, DELETE ON dbo.BPatch TO vesk_publisher
GRANT SELECT, INSERT, UPDATE, DELETE ON dbo.BPatchPart TO vesk_publisher
-- ALTER TABLE ... ADD for Sha256, Signature and LastPatchId on a BVersion older than them.
GRANT ALTER ON dbo.BVersion TO vesk_publisher
GO
