-- Vesk: the two logins and their users, run by an administrator of the server. Replace
-- both passwords before running it; the shared login's password is the one the site
-- builds into the launcher (VESK_DB_PASSWORD) or the operators type on the database page.
USE master
GO
CREATE LOGIN VeskLogin WITH PASSWORD = N'<the operators'' shared password>', CHECK_POLICY = ON
CREATE LOGIN VeskPublisher WITH PASSWORD = N'<the publisher''s password>', CHECK_POLICY = ON
GO

USE VeskDB
GO
CREATE USER VeskLogin FOR LOGIN VeskLogin
CREATE USER VeskPublisher FOR LOGIN VeskPublisher
ALTER ROLE vesk_operators ADD MEMBER VeskLogin
ALTER ROLE vesk_publisher ADD MEMBER VeskPublisher
GO

-- The launcher also opens the domestic-sales database (Voruvidi here) at login; it reads
-- nothing there, so the shared login is a user of it without any grant of Vesk's.
USE Voruvidi
GO
CREATE USER VeskLogin FOR LOGIN VeskLogin
GO
