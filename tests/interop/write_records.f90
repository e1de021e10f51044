! Writes data.dat with an unformatted sequential WRITE per record, as user
! programs do, and expected.txt: the rows and columns the converter should
! load and the values' type, then the bits of each loaded value, row by row,
! in hexadecimal.
program write_records
  use, intrinsic :: ieee_arithmetic
  implicit none
  character(len=16) :: dataset
  integer :: nrec, ncol, r, c
  real, allocatable :: row(:)
  double precision, allocatable :: row8(:)
  integer, allocatable :: irow(:)

  call get_command_argument(1, dataset)
  select case (trim(dataset))
  case ('full')
    nrec = 5; ncol = 7
  case ('short')    ! full records, then a shorter one, then a full one
    nrec = 3; ncol = 4
  case ('empty')    ! records of no values
    nrec = 4; ncol = 0
  case ('row')
    nrec = 1; ncol = 9
  case ('column')
    nrec = 6; ncol = 1
  case ('real8')
    nrec = 4; ncol = 5
  case ('int4')     ! full records, then a shorter one, then a full one
    nrec = 3; ncol = 4
  case default
    error stop 'unknown data set'
  end select

  open (10, file='data.dat', form='unformatted', access='sequential', &
        status='replace')
  open (11, file='expected.txt', status='replace')
  if (trim(dataset) == 'real8') then
    call write_real8
  else if (trim(dataset) == 'int4') then
    call write_int4
  else
    call write_real4
  end if
  close (10)
  close (11)

contains

  subroutine write_real4
  write (11, '(I0, 1X, I0, A)') nrec, ncol, ' real4'
  allocate (row(ncol))
  do r = 1, nrec
    do c = 1, ncol
      row(c) = value(r, c)
      write (11, '(Z8.8)') transfer(row(c), 0)
    end do
    write (10) row
  end do
  if (trim(dataset) == 'short') then
    write (10) row(1:2)
    write (10) row
  end if
  end subroutine write_real4

  subroutine write_real8
  write (11, '(I0, 1X, I0, A)') nrec, ncol, ' real8'
  allocate (row8(ncol))
  do r = 1, nrec
    do c = 1, ncol
      row8(c) = value8(r, c)
      write (11, '(Z16.16)') transfer(row8(c), 0_8)
    end do
    write (10) row8
  end do
  end subroutine write_real8

  subroutine write_int4
  write (11, '(I0, 1X, I0, A)') nrec, ncol, ' int4'
  allocate (irow(ncol))
  do r = 1, nrec
    do c = 1, ncol
      select case (mod((r - 1) * 4 + c, 5))
      case (1)
        irow(c) = huge(1)
      case (2)
        irow(c) = -huge(1) - 1
      case (3)
        irow(c) = 0
      case default
        irow(c) = (-1)**c * (r * 100 + c)
      end select
      write (11, '(Z8.8)') irow(c)
    end do
    write (10) irow
  end do
  write (10) irow(1:2)
  write (10) irow
  end subroutine write_int4

  ! Ordinary values, and in later records every kind of special one.
  double precision function value8(r, c)
    integer, intent(in) :: r, c
    value8 = real(r, 8) * 1000d0 + real(c, 8) / 3d0
    if (r == 1) return
    select case (mod((r - 1) * 5 + c, 8))
    case (1)
      value8 = sign(0d0, -1d0)
    case (2)
      value8 = ieee_value(value8, ieee_negative_inf)
    case (3)
      value8 = transfer(int(z'7FF8000000012345', 8), 1d0)  ! NaN, payload
    case (4)
      value8 = transfer(1_8, 1d0)          ! the smallest subnormal
    case (5)
      value8 = -huge(1d0)
    case (6)
      value8 = tiny(1d0)
    end select
  end function value8

  ! Ordinary values with every kind of special one among them.
  real function value(r, c)
    integer, intent(in) :: r, c
    select case (mod((r - 1) * 7 + c, 10))
    case (1)
      value = sign(0.0, -1.0)
    case (2)
      value = ieee_value(value, ieee_positive_inf)
    case (3)
      value = ieee_value(value, ieee_negative_inf)
    case (4)
      value = transfer(1, 1.0)            ! the smallest subnormal
    case (5)
      value = transfer(2143289344 + 74565, 1.0)  ! a quiet NaN with a payload
    case (6)
      value = transfer(-4194304, 1.0)            ! a negative quiet NaN
    case (7)
      value = -huge(1.0)
    case (8)
      value = tiny(1.0)
    case default
      value = real(r) * 1000.0 + real(c) / 3.0
    end select
  end function value

end program write_records
