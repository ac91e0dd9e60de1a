-- Vesk: the tables of the site's public database, as the launcher and vesk-publish need
-- them. vesk-publish carries this file and runs its CREATE TABLE statements itself for
-- the tables it uses (--create), so both make the same tables. Run it in that database
-- (VeskDB here) on a new database; on one that already has some of them, run only the
-- CREATE TABLE of each table it lacks (vesk-publish adds the columns Sha256, Signature and
-- LastPatchId to an older BVersion itself; add-keys.sql gives older patch tables their
-- keys). Batches are separated by GO, as sqlcmd and SQL Server Management Studio read them.
USE VeskDB
GO

-- The operators. The launcher reads every column of the operator's row; UserID and
-- PassWord are nvarchar so that Chinese names and passwords survive any collation.
CREATE TABLE aUser (
    UserID nvarchar(50) NOT NULL PRIMARY KEY,
    PassWord nvarchar(50) NULL
)
GO

-- The published version: one row. Sha256 is the program's SHA-256, Signature the
-- release key's signature (vesk-publish --sign), NULL when not signed. LastPatchId is the
-- highest PatchId ever stored, kept when the patches are pruned, so that no number comes
-- back while a workstation may still be reading the parts of the patch it named.
CREATE TABLE BVersion (
    Version int NOT NULL,
    Counts int NOT NULL,
    Sha256 varbinary(32) NULL,
    Signature varbinary(96) NULL,
    LastPatchId int NULL
)
GO

-- The program's chunks, Idcol '0' to Counts - 1, each its size and a zlib stream.
CREATE TABLE CopyRight (
    Idcol varchar(10) NOT NULL,
    ExEPic image NULL
)
GO

-- Patches from earlier versions to the published one, and their parts.
CREATE TABLE BPatch (
    PatchId int NOT NULL,
    FromSha256 varbinary(32) NOT NULL,
    ToSha256 varbinary(32) NOT NULL,
    ToLength int NOT NULL,
    Parts int NOT NULL,
    Bytes int NOT NULL,
    PatchSha256 varbinary(32) NOT NULL,
    CONSTRAINT PK_BPatch PRIMARY KEY (PatchId)
)
GO

-- Every read of a part names its patch and its number.
CREATE TABLE BPatchPart (
    PatchId int NOT NULL,
    Part int NOT NULL,
    Data image NULL,
    CONSTRAINT PK_BPatchPart PRIMARY KEY (PatchId, Part)
)
GO
