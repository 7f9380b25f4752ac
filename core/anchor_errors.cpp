#include "core/anchor_errors.hpp"

#include <algorithm>
#include <iterator>

namespace brisquel {
namespace {

// Sorted by code. Codes later releases dropped (the IDL and state
// instructions) stay: programs built with those releases still return them.
constexpr FrameworkError kErrors[] = {
    {100, "InstructionMissing", "Instruction discriminator not provided"},
    {101, "InstructionFallbackNotFound", "Fallback functions are not supported"},
    {102, "InstructionDidNotDeserialize", "The program could not deserialize the given instruction"},
    {103, "InstructionDidNotSerialize", "The program could not serialize the given instruction"},
    {1000, "IdlInstructionStub", "The program was compiled without idl instructions"},
    {1001, "IdlInstructionInvalidProgram", "Invalid program given to the IDL instruction"},
    {1002, "IdlAccountNotEmpty", "IDL account must be empty in order to resize, try closing first"},
    {1500, "EventInstructionStub", "The program was compiled without `event-cpi` feature"},
    {2000, "ConstraintMut", "A mut constraint was violated"},
    {2001, "ConstraintHasOne", "A has one constraint was violated"},
    {2002, "ConstraintSigner", "A signer constraint was violated"},
    {2003, "ConstraintRaw", "A raw constraint was violated"},
    {2004, "ConstraintOwner", "An owner constraint was violated"},
    {2005, "ConstraintRentExempt", "A rent exemption constraint was violated"},
    {2006, "ConstraintSeeds", "A seeds constraint was violated"},
    {2007, "ConstraintExecutable", "An executable constraint was violated"},
    {2008, "ConstraintState", "Deprecated Error, feel free to replace with something else"},
    {2009, "ConstraintAssociated", "An associated constraint was violated"},
    {2010, "ConstraintAssociatedInit", "An associated init constraint was violated"},
    {2011, "ConstraintClose", "A close constraint was violated"},
    {2012, "ConstraintAddress", "An address constraint was violated"},
    {2013, "ConstraintZero", "Expected zero account discriminant"},
    {2014, "ConstraintTokenMint", "A token mint constraint was violated"},
    {2015, "ConstraintTokenOwner", "A token owner constraint was violated"},
    {2016, "ConstraintMintMintAuthority", "A mint mint authority constraint was violated"},
    {2017, "ConstraintMintFreezeAuthority", "A mint freeze authority constraint was violated"},
    {2018, "ConstraintMintDecimals", "A mint decimals constraint was violated"},
    {2019, "ConstraintSpace", "A space constraint was violated"},
    {2020, "ConstraintAccountIsNone", "A required account for the constraint is None"},
    {2021, "ConstraintTokenTokenProgram", "A token account token program constraint was violated"},
    {2022, "ConstraintMintTokenProgram", "A mint token program constraint was violated"},
    {2023, "ConstraintAssociatedTokenTokenProgram",
     "An associated token account token program constraint was violated"},
    {2024, "ConstraintMintGroupPointerExtension", "A group pointer extension constraint was violated"},
    {2025, "ConstraintMintGroupPointerExtensionAuthority",
     "A group pointer extension authority constraint was violated"},
    {2026, "ConstraintMintGroupPointerExtensionGroupAddress",
     "A group pointer extension group address constraint was violated"},
    {2027, "ConstraintMintGroupMemberPointerExtension", "A group member pointer extension constraint was violated"},
    {2028, "ConstraintMintGroupMemberPointerExtensionAuthority",
     "A group member pointer extension authority constraint was violated"},
    {2029, "ConstraintMintGroupMemberPointerExtensionMemberAddress",
     "A group member pointer extension group address constraint was violated"},
    {2030, "ConstraintMintMetadataPointerExtension", "A metadata pointer extension constraint was violated"},
    {2031, "ConstraintMintMetadataPointerExtensionAuthority",
     "A metadata pointer extension authority constraint was violated"},
    {2032, "ConstraintMintMetadataPointerExtensionMetadataAddress",
     "A metadata pointer extension metadata address constraint was violated"},
    {2033, "ConstraintMintCloseAuthorityExtension", "A close authority constraint was violated"},
    {2034, "ConstraintMintCloseAuthorityExtensionAuthority",
     "A close authority extension authority constraint was violated"},
    {2035, "ConstraintMintPermanentDelegateExtension", "A permanent delegate extension constraint was violated"},
    {2036, "ConstraintMintPermanentDelegateExtensionDelegate",
     "A permanent delegate extension delegate constraint was violated"},
    {2037, "ConstraintMintTransferHookExtension", "A transfer hook extension constraint was violated"},
    {2038, "ConstraintMintTransferHookExtensionAuthority",
     "A transfer hook extension authority constraint was violated"},
    {2039, "ConstraintMintTransferHookExtensionProgramId",
     "A transfer hook extension transfer hook program id constraint was violated"},
    {2500, "RequireViolated", "A require expression was violated"},
    {2501, "RequireEqViolated", "A require_eq expression was violated"},
    {2502, "RequireKeysEqViolated", "A require_keys_eq expression was violated"},
    {2503, "RequireNeqViolated", "A require_neq expression was violated"},
    {2504, "RequireKeysNeqViolated", "A require_keys_neq expression was violated"},
    {2505, "RequireGtViolated", "A require_gt expression was violated"},
    {2506, "RequireGteViolated", "A require_gte expression was violated"},
    {3000, "AccountDiscriminatorAlreadySet", "The account discriminator was already set on this account"},
    {3001, "AccountDiscriminatorNotFound", "No discriminator was found on the account"},
    {3002, "AccountDiscriminatorMismatch", "Account discriminator did not match what was expected"},
    {3003, "AccountDidNotDeserialize", "Failed to deserialize the account"},
    {3004, "AccountDidNotSerialize", "Failed to serialize the account"},
    {3005, "AccountNotEnoughKeys", "Not enough account keys given to the instruction"},
    {3006, "AccountNotMutable", "The given account is not mutable"},
    {3007, "AccountOwnedByWrongProgram", "The given account is owned by a different program than expected"},
    {3008, "InvalidProgramId", "Program ID was not as expected"},
    {3009, "InvalidProgramExecutable", "Program account is not executable"},
    {3010, "AccountNotSigner", "The given account did not sign"},
    {3011, "AccountNotSystemOwned", "The given account is not owned by the system program"},
    {3012, "AccountNotInitialized", "The program expected this account to be already initialized"},
    {3013, "AccountNotProgramData", "The given account is not a program data account"},
    {3014, "AccountNotAssociatedTokenAccount", "The given account is not the associated token account"},
    {3015, "AccountSysvarMismatch", "The given public key does not match the required sysvar"},
    {3016, "AccountReallocExceedsLimit",
     "The account reallocation exceeds the MAX_PERMITTED_DATA_INCREASE limit"},
    {3017, "AccountDuplicateReallocs", "The account was duplicated for more than one reallocation"},
    {4000, "StateInvalidAddress", "The given state account does not have the correct address"},
    {4100, "DeclaredProgramIdMismatch", "The declared program id does not match the actual program id"},
    {4101, "TryingToInitPayerAsProgramAccount",
     "You cannot/should not initialize the payer account as a program account"},
    {4102, "InvalidNumericConversion", "Error during numeric conversion"},
    {5000, "Deprecated", "The API being used is deprecated and should no longer be used"},
};

static_assert(std::ranges::is_sorted(kErrors, {}, &FrameworkError::code));

}  // namespace

const FrameworkError* anchor_framework_error(std::uint32_t code) {
  const auto* it = std::ranges::lower_bound(kErrors, code, {}, &FrameworkError::code);
  return it != std::end(kErrors) && it->code == code ? it : nullptr;
}

}  // namespace brisquel
